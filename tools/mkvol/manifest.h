// The manifest of a test volume: a short text that says what ostrin-mkvol puts on a new NTFS image.
//
// One command per line, carried out in order; '#' starts a comment; words are separated by blanks,
// and a word with blanks or '#' is written in double quotes ("/My Files/a b.txt"). Paths are
// absolute, '/'-separated, UTF-8. Numbers take the binary suffixes K, M and G (4K = 4096).
//
//   volume size=N [sector=512|4096] [cluster=N] [label=TEXT]
//       The first command. A sparse image of N bytes formatted by mkntfs (quick format, fixed
//       serial and system-file times); sector 512 gives 1024-byte file records, 4096 gives 4096.
//   dir PATH [NAME-OPTIONS] [ENTRY-OPTIONS]
//   file PATH [NAME-OPTIONS] [ENTRY-OPTIONS] [CONTENT]
//       A directory or a file; missing parent directories are made (with default times).
//   link TARGET PATH [NAME-OPTIONS]
//       Another name (hard link) PATH of the existing file TARGET.
//   delete PATH
//       Removes one name; a directory goes with everything below it (children first, one by one).
//       Deleted entries must not be listed, but their records stay behind on the volume (not in use).
//   rename PATH NEWPATH
//       Gives the name PATH the name NEWPATH: a rename within its directory, a move to another
//       directory (missing parents are made), or both. NEWPATH must not exist.
//   write PATH size=N [at=OFFSET] [fill=text|random|zero]
//       Writes N bytes of the file's unnamed data at OFFSET (default 0); the data grows when they end
//       beyond it.
//   truncate PATH size=N
//       Sets the size of the file's unnamed data to N (shorter or longer; a longer one reads zeros).
//   touch PATH [created=T] [written=T] [accessed=T]
//       Sets these standard information times; without any, the last write (and MFT change) time
//       becomes a new time, later than every time the maker gave before.
//   attrs PATH LIST
//       Sets exactly these of readonly,hidden,system,archive (or "none"), as attrs= does.
//   journal [size=N] [delta=N] [id=N] [first=N]
//       Gives the volume a change journal as Windows keeps it: the file $Extend\$UsnJrnl (hidden and
//       system) with the resident stream $Max (maximum size size=, default 32M; allocation delta
//       delta=, default 8M; journal ID id=, default a FILETIME of 2021; lowest valid USN first=,
//       rounded down to 4096, default 0) and the sparse stream $J, empty up to first= (a hole).
//       From then on every command appends the records Windows writes for its change to $J, as
//       USN_RECORD_V2 (journal.h), and ostrin-mkvol prints each on standard output. A volume has
//       one journal.
//
// Change files (ostrin-mkvol --change) hold the same command lines without the volume line; they
// change an existing volume (made by the maker or not): every command above but volume.
//   mftfrag dir=PATH runs=N [keep]
//       Fragments the MFT: leaves no free space but small holes (spacer files side by side, a
//       filler over all the rest, every other spacer removed), then makes empty files m000000...
//       in PATH until the MFT's own $DATA has at least N runs, each growth of the MFT landing in
//       another hole. Some 700 runs need an attribute list in record 0 and $DATA extents in
//       extension records. The spacers and the filler (in /mkvol-holes) are removed afterwards
//       unless "keep" is given; the files in PATH stay. Needs free room for about 3 x N holes.
//   bulk dir=PATH dirs=N files=N [size=MIN-MAX] [seed=N] [flat]
//       A big tree made quickly: about the square root of dirs= as PATH/d0000..., the rest one
//       level below them (PATH/d0000/d0000_0000...), and files= files f000000.dat... shared out
//       evenly, sizes drawn from MIN-MAX (default 0-2000) by a generator seeded with seed=.
//       With "flat", every directory is directly in PATH (one wide directory).
//       200,000 files in 2,000 directories take about 40 s (optimised build).
//
// NAME-OPTIONS (the name the command makes):
//   ns=posix|win32|win32dos   namespace of the name (default posix, as the library makes it)
//   dos=SHORT                 a separate DOS 8.3 name beside it (the long name becomes win32)
// ENTRY-OPTIONS (standard information, written after every other command has run):
//   created=T written=T accessed=T    T is 2021-06-01T12:00:00[.fffffff] (UTC) or a raw FILETIME;
//                                     default: a distinct time per entry (see DefaultTimes)
//   attrs=LIST                        exactly these of readonly,hidden,system,archive (or "none");
//                                     default: what the library sets
// CONTENT (files only):
//   size=N [fill=text|random|zero]    unnamed data of N bytes (default 0, text)
//   nodata                            no unnamed $DATA attribute at all (with stream=, a file
//                                     whose only data is a named stream)
//   sparse=OFF+LEN[,OFF+LEN...]       only these ranges are written; the rest of size is holes
//   compressed                        NTFS-compressed unnamed data (clusters up to 4096)
//   fragments=N                       N clusters of data, allocated one at a time while the only
//                                     free space is one-cluster holes, so each is a run of its
//                                     own (sets size to N clusters; needs room for 2 x N more)
//   stream=NAME:SIZE                  a named $DATA stream (repeatable)
//   links=N                           N more names in the same directory, NAME.linkK.abc...
//                                     200 characters long, so that a few fill the record
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace ostrin::mkvol {

// A manifest that cannot be read; the text names the line.
class CManifestError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class ENameSpace : uint8_t { Posix = 0, Win32 = 1, Dos = 2, Win32AndDos = 3 };

enum class EFill { Text, Random, Zero };

// The four attribute bits a manifest may set (FILE_ATTRIBUTE_* values).
inline constexpr uint32_t ATTR_READONLY = 0x01;
inline constexpr uint32_t ATTR_HIDDEN = 0x02;
inline constexpr uint32_t ATTR_SYSTEM = 0x04;
inline constexpr uint32_t ATTR_ARCHIVE = 0x20;
inline constexpr uint32_t ATTR_SETTABLE = ATTR_READONLY | ATTR_HIDDEN | ATTR_SYSTEM | ATTR_ARCHIVE;

struct SVolumeOptions {
  uint64_t size = 0;
  uint32_t sectorSize = 512;
  uint32_t clusterSize = 4096;
  std::string label;
};

struct SNameOptions {
  std::optional<ENameSpace> nameSpace;
  std::string dosName;
};

struct SEntryOptions {
  std::optional<uint64_t> created, written, accessed;  // raw FILETIME, UTC
  std::optional<uint32_t> attributes;                   // only ATTR_SETTABLE bits
};

struct SStream {
  std::string name;
  uint64_t size = 0;
};

struct SContent {
  uint64_t size = 0;
  EFill fill = EFill::Text;
  bool noData = false;
  bool compressed = false;
  std::vector<std::pair<uint64_t, uint64_t>> sparseRanges;  // offset, length
  bool sparse = false;
  uint32_t fragments = 0;
  std::vector<SStream> streams;
  uint32_t extraLinks = 0;
};

enum class EManifestCommand { Dir, File, Link, Delete, MftFrag, Bulk, Rename, Write, Truncate, Touch, Attrs, Journal };

struct SCommand {
  EManifestCommand kind = EManifestCommand::Dir;
  int line = 0;
  std::string path;    // the path the command works on; link: the new name; mftfrag, bulk: dir=
  std::string target;  // link: the existing file; rename: the new path
  SNameOptions name;
  SEntryOptions entry;
  SContent content;
  uint64_t runs = 0;  // mftfrag
  bool keepFiller = false;
  uint32_t bulkDirs = 0, bulkFiles = 0;
  bool bulkFlat = false;  // every directory directly in PATH
  uint64_t bulkMinSize = 0, bulkMaxSize = 2000;
  uint64_t seed = 1;
  uint64_t offset = 0;  // write: at=
  // journal: $Max's fields (first= is the lowest valid USN)
  uint64_t journalMaxSize = 32ull << 20, journalDelta = 8ull << 20, journalId = 0, journalFirst = 0;
};

struct SManifest {
  SVolumeOptions volume;
  std::vector<SCommand> commands;
};

// Parses a manifest; throws CManifestError.
SManifest ParseManifest(const std::string& text);

// Parses the lines of a change file (no volume line); throws CManifestError.
std::vector<SCommand> ParseChanges(const std::string& text);

// The journal ID a journal line without id= gives: the FILETIME of 2021-06-01T00:00:00Z.
uint64_t DefaultJournalId();

// Splits an absolute path into its components; throws CManifestError on a relative or empty path,
// an empty component or one that NTFS cannot hold.
std::vector<std::string> SplitPath(const std::string& path);

// FILETIME (100 ns ticks since 1601-01-01 UTC) of "YYYY-MM-DDTHH:MM:SS[.fffffff]" or of a raw number;
// nullopt when the text is neither.
std::optional<uint64_t> ParseTime(const std::string& text);

// The times an entry gets when its manifest line gives none: the n-th entry made (from 0) is
// created at 2021-06-01T12:00:00Z + n × 1.0000001 s, written one day and 0.1234567 s later,
// accessed one hour and 0.7654321 s after that. Distinct, with sub-second parts, never equal.
struct STimes {
  uint64_t created, written, accessed;
};
STimes DefaultTimes(uint64_t n);

}  // namespace ostrin::mkvol
