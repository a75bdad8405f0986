// Making and caching test volumes, and reading their EXPECTED listings.
#include "tests/support/test_volume.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <stdexcept>

#include "platform/posix/unique_fd.h"
#include "tests/support/run_program.h"

#ifndef OSTRIN_MKVOL_PATH
#error "OSTRIN_MKVOL_PATH, OSTRIN_TEST_VOLUMES_DIR and OSTRIN_TEST_VOLUME_CACHE come from tests/support/CMakeLists.txt"
#endif

namespace ostrin::test {
namespace {

namespace fs = std::filesystem;
using ostrin::platform::UniqueFd;

constexpr int64_t FILETIME_TICKS_PER_SECOND = 10'000'000;
constexpr int64_t FILETIME_UNIX_EPOCH = 116'444'736'000'000'000;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

uint64_t Fnv1a(uint64_t hash, const std::string& bytes) {
  for (unsigned char c : bytes) {
    hash ^= c;
    hash *= 0x100000001B3ull;
  }
  return hash;
}

// The maker's own bytes are part of every key: a changed maker makes every volume again.
const std::string& MakerHash() {
  static std::once_flag once;
  static std::string hash;
  std::call_once(once, [] {
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx",
                  static_cast<unsigned long long>(Fnv1a(0xCBF29CE484222325ull, ReadFile(OSTRIN_MKVOL_PATH))));
    hash = hex;
  });
  return hash;
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

// Removes what earlier makers or manifests left for this volume name, so the cache does not grow.
void RemoveStaleFiles(const fs::path& cache, const std::string& name, const std::string& keep) {
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(cache, ec)) {
    const std::string file = entry.path().filename().string();
    const std::string prefix = name + "-";
    if (file.rfind(prefix, 0) != 0 || file.rfind(keep, 0) == 0) continue;
    const std::string rest = file.substr(prefix.size());
    // name-<16 hex>.img / .expected only: "links" must not remove "links-more-<hex>.img".
    if (rest.size() > 17 && rest[16] == '.' &&
        std::all_of(rest.begin(), rest.begin() + 16, [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); })) {
      fs::remove(entry.path(), ec);
    }
  }
}

}  // namespace

STestVolume MakeTestVolume(const std::string& manifestName) {
  const std::string manifestPath = std::string(OSTRIN_TEST_VOLUMES_DIR) + "/" + manifestName + ".manifest";
  const std::string text = ReadFile(manifestPath);
  char key[17];
  std::snprintf(key, sizeof key, "%016llx",
                static_cast<unsigned long long>(Fnv1a(Fnv1a(0xCBF29CE484222325ull, MakerHash()), text)));
  const fs::path cache = OSTRIN_TEST_VOLUME_CACHE;
  fs::create_directories(cache);
  const std::string base = (cache / (manifestName + "-" + key)).string();

  STestVolume volume;
  volume.image = base + ".img";
  volume.listing = base + ".expected";
  {
    // One maker per volume at a time across processes; the listing, renamed last, marks a complete
    // volume, and renames are atomic, so a reader never sees half a volume.
    UniqueFd lock(::open((cache / (manifestName + ".lock")).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    if (!lock.IsValid() || ::flock(lock.Get(), LOCK_EX) != 0) {
      throw std::runtime_error("cannot lock the test volume cache " + cache.string());
    }
    if (!fs::exists(volume.listing) || !fs::exists(volume.image)) {
      RemoveStaleFiles(cache, manifestName, manifestName + "-" + key);
      const std::string temp = base + ".tmp" + std::to_string(::getpid());
      const SProgramResult made = RunProgram({OSTRIN_MKVOL_PATH, manifestPath, temp + ".img", temp + ".expected"});
      if (made.exitCode != 0) {
        fs::remove(temp + ".img");
        fs::remove(temp + ".expected");
        throw std::runtime_error("ostrin-mkvol failed for " + manifestName + ": " + made.err);
      }
      fs::rename(temp + ".img", volume.image);
      fs::rename(temp + ".expected", volume.listing);
    }
  }
  volume.expected = ReadExpectedListing(volume.listing);
  return volume;
}

std::vector<SExpectedEntry> ReadExpectedListing(const std::string& path) {
  std::istringstream in(ReadFile(path));
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

std::vector<std::string> ListTestVolumeManifests() {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(OSTRIN_TEST_VOLUMES_DIR)) {
    if (entry.path().extension() == ".manifest") names.push_back(entry.path().stem().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

int64_t FileTimeToUnixSeconds(uint64_t fileTime) {
  const int64_t ticks = static_cast<int64_t>(fileTime) - FILETIME_UNIX_EPOCH;
  return ticks >= 0 ? ticks / FILETIME_TICKS_PER_SECOND : -((-ticks + FILETIME_TICKS_PER_SECOND - 1) / FILETIME_TICKS_PER_SECOND);
}

}  // namespace ostrin::test
