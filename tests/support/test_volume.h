// Test volumes: NTFS images made by ostrin-mkvol from tests/volumes/<name>.manifest, cached in the
// build tree, with the EXPECTED listing the maker read back from each image.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ostrin::test {

// One line of an EXPECTED listing (the format is described in tools/mkvol/listing.h): one name of
// one record, with the record's facts.
struct SExpectedEntry {
  std::string path;  // "/dir/name", from the root
  uint64_t record = 0;
  uint64_t parent = 0;
  bool isDirectory = false;
  uint8_t nameSpace = 0;             // 0 POSIX, 1 Win32, 2 DOS, 3 Win32 and DOS
  std::optional<uint64_t> size;      // unnamed $DATA value size; empty when there is no unnamed $DATA
  std::optional<uint64_t> allocated; // space taken (compressed or sparse: clusters stored x cluster size)
  uint32_t attributes = 0;           // $STANDARD_INFORMATION file attribute word
  uint64_t created = 0, written = 0, accessed = 0;  // raw UTC FILETIME
  uint32_t links = 0;                // link count of the record header
  uint32_t streams = 0;              // named $DATA streams
};

struct STestVolume {
  std::string image;    // the cached image: read it, never write it (copy it first, image_file.h)
  std::string listing;  // the cached EXPECTED file
  std::vector<SExpectedEntry> expected;
};

// The whole of a file; throws std::runtime_error when it cannot be read.
std::string ReadTextFile(const std::string& path);

// The fields of a line of the tab-separated listings (the maker's and sleuthkit's).
std::vector<std::string> SplitTabs(const std::string& line);

// The volume of tests/volumes/<manifestName>.manifest, made on first use and cached in the build
// tree under a key of the manifest text and the maker binary, so later runs (and other test
// processes at the same time) reuse it. Throws std::runtime_error when the maker fails.
STestVolume MakeTestVolume(const std::string& manifestName);
// Waits until the image file's times are over a second old: the service takes a younger file as
// changed at every look.
void WaitUntilSettled(const std::string& image);

// Parses an EXPECTED listing file; throws std::runtime_error on a malformed line.
std::vector<SExpectedEntry> ReadExpectedListing(const std::string& path);

// The entries as the MFT scan sees names: DOS-namespace names left out.
std::vector<SExpectedEntry> WithoutDosNames(const std::vector<SExpectedEntry>& entries);

// The entry with this path, or nullptr.
const SExpectedEntry* FindExpected(const std::vector<SExpectedEntry>& entries, const std::string& path);

// The manifest names found in tests/volumes (without ".manifest"), sorted.
std::vector<std::string> ListTestVolumeManifests();

// Seconds since 1970-01-01 UTC of a FILETIME, rounded down (what sleuthkit prints).
int64_t FileTimeToUnixSeconds(uint64_t fileTime);

}  // namespace ostrin::test
