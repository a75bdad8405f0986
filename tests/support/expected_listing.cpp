// Reading the maker's EXPECTED listings (portable: the Windows test programs read them too).
#include <algorithm>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

#include "tests/support/test_volume.h"

namespace ostrin::test {

std::string ReadTextFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<std::string> SplitTabs(const std::string& line) {
  std::vector<std::string> fields;
  size_t start = 0;
  while (true) {
    const size_t tab = line.find('\t', start);
    fields.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
    if (tab == std::string::npos) return fields;
    start = tab + 1;
  }
}

namespace {

constexpr int64_t FILETIME_TICKS_PER_SECOND = 10'000'000;
constexpr int64_t FILETIME_UNIX_EPOCH = 116'444'736'000'000'000;

uint64_t Number(const std::string& text, const std::string& line) {
  try {
    size_t used = 0;
    const uint64_t value = std::stoull(text, &used, 0);
    if (used != text.size()) throw std::invalid_argument(text);
    return value;
  } catch (const std::exception&) {
    throw std::runtime_error("bad number \"" + text + "\" in listing line: " + line);
  }
}

}  // namespace

std::vector<SExpectedEntry> ReadExpectedListing(const std::string& path) {
  std::istringstream in(ReadTextFile(path));
  std::string line;
  std::vector<SExpectedEntry> entries;
  if (!std::getline(in, line) || line.rfind("path\trecord\t", 0) != 0) {
    throw std::runtime_error(path + " is not an EXPECTED listing");
  }
  while (std::getline(in, line)) {
    const std::vector<std::string> f = SplitTabs(line);
    if (f.size() != 13) throw std::runtime_error("listing line with " + std::to_string(f.size()) + " fields: " + line);
    SExpectedEntry e;
    e.path = f[0];
    e.record = Number(f[1], line);
    e.parent = Number(f[2], line);
    e.isDirectory = Number(f[3], line) != 0;
    e.nameSpace = static_cast<uint8_t>(Number(f[4], line));
    if (f[5] != "-") e.size = Number(f[5], line);
    if (f[6] != "-") e.allocated = Number(f[6], line);
    e.attributes = static_cast<uint32_t>(Number(f[7], line));
    e.created = Number(f[8], line);
    e.written = Number(f[9], line);
    e.accessed = Number(f[10], line);
    e.links = static_cast<uint32_t>(Number(f[11], line));
    e.streams = static_cast<uint32_t>(Number(f[12], line));
    entries.push_back(std::move(e));
  }
  return entries;
}

std::vector<SExpectedEntry> WithoutDosNames(const std::vector<SExpectedEntry>& entries) {
  std::vector<SExpectedEntry> kept;
  std::copy_if(entries.begin(), entries.end(), std::back_inserter(kept),
               [](const SExpectedEntry& e) { return e.nameSpace != 2; });
  return kept;
}

const SExpectedEntry* FindExpected(const std::vector<SExpectedEntry>& entries, const std::string& path) {
  const auto it = std::find_if(entries.begin(), entries.end(), [&](const SExpectedEntry& e) { return e.path == path; });
  return it == entries.end() ? nullptr : &*it;
}

int64_t FileTimeToUnixSeconds(uint64_t fileTime) {
  const int64_t ticks = static_cast<int64_t>(fileTime) - FILETIME_UNIX_EPOCH;
  return ticks >= 0 ? ticks / FILETIME_TICKS_PER_SECOND : -((-ticks + FILETIME_TICKS_PER_SECOND - 1) / FILETIME_TICKS_PER_SECOND);
}

}  // namespace ostrin::test
