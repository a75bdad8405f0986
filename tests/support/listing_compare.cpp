// Comparing a listed drive with the volume maker's listing.
#include "tests/support/listing_compare.h"

#include "index/image_format.h"

namespace ostrin::test {

void CompareWithMaker(const CListedEntries& listed, const std::vector<SExpectedEntry>& made) {
  const std::vector<SExpectedEntry> names = WithoutDosNames(made);
  std::map<uint64_t, int> acceptedNames;
  for (const SExpectedEntry& entry : names) ++acceptedNames[entry.record];
  std::map<std::pair<uint64_t, std::string>, std::vector<SExpectedEntry>> groups;
  for (const SExpectedEntry& entry : names) {
    // Directories are listed once, under their first name; files once per name (two names of a file
    // in one directory are one entry only when they are the same, which makes them the same path);
    // files without unnamed data not at all.
    if (!entry.isDirectory && !entry.size) continue;
    groups[{entry.record, entry.isDirectory ? std::string() : entry.path}].push_back(entry);
  }
  ExpectOnePathPerGroup(listed, groups, "the maker");

  for (const SExpectedEntry& entry : names) {
    const auto found = listed.find(entry.path);
    if (found == listed.end()) continue;
    const CImageEntry& listedEntry = found->second;
    SCOPED_TRACE(entry.path);
    EXPECT_EQ(listedEntry.isDirectory, entry.isDirectory);
    const uint32_t hardLinks = acceptedNames[entry.record] >= 2 ? ATTR_HAS_HARDLINKS : 0;
    EXPECT_EQ(listedEntry.attributes,
              entry.attributes | hardLinks | (entry.isDirectory ? IMAGE_ATTRIBUTE_DIRECTORY : 0));
    if (!entry.isDirectory) {
      EXPECT_EQ(listedEntry.fileSize, *entry.size);
      EXPECT_EQ(listedEntry.allocatedSize, *entry.allocated);
    } else {
      EXPECT_EQ(listedEntry.allocatedSize, 0u);
    }
    EXPECT_EQ(listedEntry.lastWriteTime, entry.written);
    EXPECT_EQ(listedEntry.creationTime, entry.created);
    EXPECT_EQ(listedEntry.lastAccessTime, entry.accessed);
  }
}

}  // namespace ostrin::test
