// sleuthkit (Debian sleuthkit: fls, istat) as an independent reader of test images.
//
// fls -r -p -u -l IMAGE lists the allocated names reachable from the root through the directory
// indexes, one line per name and per named stream:
//   r/r 80-128-2:<TAB>al/many.txt<TAB>mtime<TAB>atime<TAB>ctime<TAB>crtime<TAB>size<TAB>uid<TAB>gid
// Times come from $STANDARD_INFORMATION, in whole seconds, printed in the zone of TZ (RunProgram
// sets TZ=UTC) as "2021-06-02 12:00:15 (UTC)", or "0000-00-00 00:00:00 (UTC)" for 0; mtime is the
// last write, atime the last access, ctime the MFT change and crtime the creation time. The size is
// that of the attribute named in the inode field: for a file its unnamed $DATA (for "name:stream"
// lines that stream), for a directory its $I30 index root. fls shows no DOS-namespace names.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ostrin::test {

struct SFlsEntry {
  std::string path;           // "/al/many.txt", from the root, with any ":stream" suffix removed
  std::string stream;         // the stream name of a "name:stream" line, else empty
  char nameType = '?';        // type from the directory entry: 'r' file, 'd' directory, 'V' virtual, ...
  char metaType = '?';        // type from the record
  uint64_t record = 0;
  uint32_t attributeType = 0; // 128 $DATA, 144 $INDEX_ROOT; 0 when fls shows none
  uint32_t attributeId = 0;
  int64_t written = 0, accessed = 0, changed = 0, created = 0;  // Unix seconds, UTC; 0 when absent
  uint64_t size = 0;
  bool hasUnnamedData = true; // false for a file line without an attribute ("r/r 69:", a record
                              // without any $DATA) and for the entries UserEntries makes from
                              // stream lines
};

// Runs fls -r -p -u -l on the image (offsetSectors: start of the file system, for partition images)
// and parses every line; throws std::runtime_error when fls fails or prints something unexpected.
std::vector<SFlsEntry> RunFls(const std::string& image, uint64_t offsetSectors = 0);

// What of fls's list a reader of user files should also report:
//  - left out: records 0 to 15 and everything below a system directory ($Extend/...), the virtual
//    $OrphanFiles, and every named-stream line;
//  - a file that fls shows only through named streams (it has no unnamed $DATA) stays, once, with
//    hasUnnamedData false, stream empty and size 0.
std::vector<SFlsEntry> UserEntries(const std::vector<SFlsEntry>& entries);

// One entry of the attribute list that istat prints for a record with an $ATTRIBUTE_LIST:
// "Type: 128-0 <TAB>MFT Entry: 15 <TAB>VCN: 6286".
struct SIstatListEntry {
  uint32_t type = 0;
  uint32_t id = 0;
  uint64_t record = 0;
  uint64_t vcn = 0;
};

struct SIstat {
  std::string text;                          // the whole output of istat
  std::vector<SIstatListEntry> attributeList; // empty when the record has no attribute list
  uint32_t links = 0;                        // "Links:" of the header
  uint64_t storedClusters = 0;               // clusters of the unnamed $DATA that are not holes
};

// Runs istat on one record; throws std::runtime_error when istat fails.
SIstat RunIstat(const std::string& image, uint64_t record, uint64_t offsetSectors = 0);

}  // namespace ostrin::test
