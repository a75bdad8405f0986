// What ostrin's commands print, said once: each command reports what it finds through COutput, in
// the order it finds it, and the text and the JSON output each decide how that reads. Both write as
// they go, so a listing of any size costs memory only for the walk.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/types.h"
#include "tools/ostrin/command_line.h"
#include "tools/ostrin/drive_listing.h"

// Totals of the files and directories a command went over.
struct STotals {
  uint64_t files = 0;
  uint64_t directories = 0;
  uint64_t size = 0;
  uint64_t allocated = 0;

  void Add(const SListedEntry& entry) {
    if (entry.isDirectory) {
      ++directories;
    } else {
      ++files;
      size += entry.size;
      allocated += entry.allocated;
    }
  }
  void Add(const STotals& other) {
    files += other.files;
    directories += other.directories;
    size += other.size;
    allocated += other.allocated;
  }
};

// A directory that a recursive command listed but could not enter by path, and why.
struct SNotEntered {
  std::string path;
  const char* why;
};

// What info tells of a drive.
struct SDriveFacts {
  std::string drive;  // "S:"
  uint64_t imageBytes = 0;
  STotals totals;
  std::optional<uint64_t> generation;
  std::optional<uint64_t> builtLocal;  // FILETIME in the zone of the entries' times
};

class COutput {
 public:
  virtual ~COutput() = default;

  // ls: the entries of the directory at path follow (under a heading with -R or several operands).
  virtual void Directory(const std::string& path) = 0;
  // ls and find: an entry at path (a directory's ends with a backslash); ls -d of a drive's root
  // gives it without an entry.
  virtual void Entry(const std::string& path, const SListedEntry* entry) = 0;
  // tree: the directory given (no entry for the root), then each entry of the walk, the last of its
  // directory or not; a directory that is entered (entered) has its entries, then LeaveDirectory.
  virtual void TreeTop(const std::string& path, const SListedEntry* entry) = 0;
  virtual void TreeEntry(const std::string& path, const SListedEntry& entry, bool last, bool entered) = 0;
  virtual void LeaveDirectory() = 0;
  // du: the sums below one directory.
  virtual void Usage(const std::string& path, const STotals& totals) = 0;
  // ls, tree and du: what the command went over, at its end.
  virtual void Summary(const STotals& totals) = 0;
  virtual void Info(const SDriveFacts& facts) = 0;
  // The directories a recursive command could not enter, at its end (also said on standard error).
  virtual void NotEntered(const std::vector<SNotEntered>& directories) = 0;
  // A failure: of a drive (with the library's code) or of a path (without one). The JSON output ends
  // what it has begun and adds the error to the document.
  virtual void Error(WCHAR letter, std::optional<int32_t> code, const std::string& text) = 0;
  // The end of the output.
  virtual void End() = 0;
  // The errno of a write to standard output that failed, if the output saw one; else 0.
  virtual int WriteError() const { return 0; }
};

std::unique_ptr<COutput> MakeTextOutput(const SOptions& options);
// Times in JSON are ISO 8601, with the offset of the zone they are in.
std::unique_ptr<COutput> MakeJsonOutput(const SOptions& options, int64_t utcOffsetSeconds);
