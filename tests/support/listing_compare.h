// Comparing a listed drive (walked from its image, or listed through OstrinAPI) with what the volume
// maker recorded and with another reader's listing.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "index/image_walk.h"
#include "tests/support/test_volume.h"

namespace ostrin::test {

// Listed entries by "/dir/name" path.
using CListedEntries = std::map<std::string, CImageEntry>;

// "/a/b" of "/a/b/c".
inline std::string ParentPath(const std::string& path) { return path.substr(0, path.rfind('/')); }

// Checks that the listed paths are exactly one per group: a directory is listed once (under whichever
// of its names comes first), a file once under each of its names.
template <typename Entry>
void ExpectOnePathPerGroup(const CListedEntries& listed,
                           const std::map<std::pair<uint64_t, std::string>, std::vector<Entry>>& groups,
                           const char* oracle) {
  std::set<std::string> covered;
  for (const auto& [key, members] : groups) {
    int count = 0;
    for (const Entry& member : members) {
      if (listed.count(member.path) != 0) {
        ++count;
        covered.insert(member.path);
      }
    }
    EXPECT_EQ(count, 1) << oracle << ": record " << key.first << " in " << key.second << " (e.g. "
                        << members.front().path << ")";
  }
  for (const auto& [path, entry] : listed) {
    EXPECT_EQ(covered.count(path), 1u) << oracle << " does not list " << path;
  }
}

// Checks every listed entry against the maker's listing: the names the scan keeps (DOS names out,
// directories once, files without unnamed data not at all), attributes with the directory and
// hard-link bits, both sizes and the three times (the tests run with TZ=UTC, so local time is UTC).
void CompareWithMaker(const CListedEntries& listed, const std::vector<SExpectedEntry>& made);

}  // namespace ostrin::test
