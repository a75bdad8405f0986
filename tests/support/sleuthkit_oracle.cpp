// Running fls and istat and parsing what they print.
#include "tests/support/sleuthkit_oracle.h"

#include <cstdio>
#include <map>
#include <set>
#include <sstream>
#include <stdexcept>

#include "platform/civil_time.h"
#include "tests/support/run_program.h"
#include "tests/support/test_volume.h"

namespace ostrin::test {
namespace {

constexpr uint64_t FIRST_USER_RECORD = 16;

int64_t ParseFlsTime(const std::string& text, const std::string& line) {
  int year = 0;
  unsigned month = 0, day = 0, hour = 0, minute = 0, second = 0;
  char zone[16] = {};
  if (std::sscanf(text.c_str(), "%d-%u-%u %u:%u:%u (%15[^)])", &year, &month, &day, &hour, &minute, &second, zone) != 7) {
    throw std::runtime_error("fls time \"" + text + "\" not understood in: " + line);
  }
  if (std::string(zone) != "UTC") throw std::runtime_error("fls printed a time outside UTC: " + line);
  if (year == 0) return 0;
  return platform::DaysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
}

SFlsEntry ParseFlsLine(const std::string& line) {
  const std::vector<std::string> f = SplitTabs(line);
  if (f.size() != 9) throw std::runtime_error("fls line with " + std::to_string(f.size()) + " fields: " + line);
  SFlsEntry e;
  // "r/r 80-128-2:" (a deleted name would carry " * " before the inode; -u leaves them out).
  char inode[64] = {};
  if (f[0].size() < 5 || f[0][1] != '/' || std::sscanf(f[0].c_str() + 4, "%63[^:]:", inode) != 1) {
    throw std::runtime_error("fls entry \"" + f[0] + "\" not understood");
  }
  e.nameType = f[0][0];
  e.metaType = f[0][2];
  unsigned long long record = 0;
  unsigned type = 0, id = 0;
  const int parts = std::sscanf(inode, "%llu-%u-%u", &record, &type, &id);
  if (parts != 1 && parts != 3) throw std::runtime_error("fls inode \"" + std::string(inode) + "\" not understood");
  e.record = record;
  e.attributeType = type;
  e.attributeId = id;
  // A file line without an attribute in its inode field is a record without any $DATA.
  if (parts == 1 && e.metaType == 'r') e.hasUnnamedData = false;
  std::string path = f[1];
  const size_t slash = path.rfind('/');
  const size_t colon = path.find(':', slash == std::string::npos ? 0 : slash);
  if (colon != std::string::npos) {
    e.stream = path.substr(colon + 1);
    path.resize(colon);
  }
  e.path = "/" + path;
  e.written = ParseFlsTime(f[2], line);
  e.accessed = ParseFlsTime(f[3], line);
  e.changed = ParseFlsTime(f[4], line);
  e.created = ParseFlsTime(f[5], line);
  e.size = std::stoull(f[6]);
  return e;
}

std::string OffsetArgument(uint64_t offsetSectors) { return std::to_string(offsetSectors); }

}  // namespace

std::vector<SFlsEntry> RunFls(const std::string& image, uint64_t offsetSectors) {
  const SProgramResult result = RunProgram({"fls", "-r", "-p", "-u", "-l", "-o", OffsetArgument(offsetSectors), image});
  if (result.exitCode != 0) throw std::runtime_error("fls failed on " + image + ": " + result.err);
  std::vector<SFlsEntry> entries;
  std::istringstream in(result.out);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty()) entries.push_back(ParseFlsLine(line));
  }
  return entries;
}

std::vector<SFlsEntry> UserEntries(const std::vector<SFlsEntry>& entries) {
  // Top-level names that belong to system records ($MFT, $Extend, ...): their subtrees go too.
  std::set<std::string> systemRoots;
  for (const SFlsEntry& e : entries) {
    if (e.record < FIRST_USER_RECORD && e.path.find('/', 1) == std::string::npos) systemRoots.insert(e.path);
  }
  auto underSystem = [&](const std::string& path) {
    const std::string top = path.substr(0, path.find('/', 1));
    return systemRoots.count(top) != 0;
  };
  std::vector<SFlsEntry> kept;
  std::set<std::pair<std::string, uint64_t>> plain;  // (path, record) that have a line without stream
  for (const SFlsEntry& e : entries) {
    if (e.stream.empty()) plain.insert({e.path, e.record});
  }
  std::set<std::pair<std::string, uint64_t>> streamOnly;
  for (const SFlsEntry& e : entries) {
    if (e.record < FIRST_USER_RECORD || underSystem(e.path)) continue;
    if (e.nameType == 'V' || e.path == "/$OrphanFiles" || e.path.rfind("/$OrphanFiles/", 0) == 0) continue;
    if (e.stream.empty()) {
      kept.push_back(e);
    } else if (!plain.count({e.path, e.record}) && streamOnly.insert({e.path, e.record}).second) {
      SFlsEntry file = e;
      file.stream.clear();
      file.size = 0;
      file.hasUnnamedData = false;
      kept.push_back(file);
    }
  }
  return kept;
}

SIstat RunIstat(const std::string& image, uint64_t record, uint64_t offsetSectors) {
  const SProgramResult result =
      RunProgram({"istat", "-o", OffsetArgument(offsetSectors), image, std::to_string(record)});
  if (result.exitCode != 0) throw std::runtime_error("istat failed on " + image + ": " + result.err);
  SIstat istat;
  istat.text = result.out;
  std::istringstream in(result.out);
  std::string line;
  bool inUnnamedData = false;  // in the cluster list of the unnamed $DATA attribute
  while (std::getline(in, line)) {
    if (line.rfind("Type: $", 0) == 0) {
      inUnnamedData = line.rfind("Type: $DATA (128-", 0) == 0 && line.find("Name: N/A") != std::string::npos;
      continue;
    }
    if (inUnnamedData) {
      // Cluster addresses, eight to a line; a hole is listed as cluster 0.
      std::istringstream clusters(line);
      unsigned long long cluster = 0;
      while (clusters >> cluster) istat.storedClusters += cluster != 0 ? 1 : 0;
    }
    unsigned type = 0, id = 0;
    unsigned long long entry = 0, vcn = 0;
    if (std::sscanf(line.c_str(), "Type: %u-%u MFT Entry: %llu VCN: %llu", &type, &id, &entry, &vcn) == 4) {
      istat.attributeList.push_back({type, id, entry, vcn});
    }
    unsigned links = 0;
    if (std::sscanf(line.c_str(), "Links: %u", &links) == 1) istat.links = links;
  }
  return istat;
}

}  // namespace ostrin::test
