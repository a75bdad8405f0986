// What ostrin's commands share: the exit codes, the drive and output a command runs with, how it
// reports a failure, and the walk of the directories below one.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "platform/types.h"
#include "tools/ostrin/command_line.h"
#include "tools/ostrin/drive_listing.h"
#include "tools/ostrin/output.h"

// Exit codes.
constexpr int EXIT_OK = 0;
constexpr int EXIT_NOT_FOUND = 1;           // no such entry
constexpr int EXIT_USAGE = 2;               // a mistaken command line or path
constexpr int EXIT_NO_SERVICE = 3;          // OstConnect failed, or nothing listens (--no-dialog)
constexpr int EXIT_SERVICE_ERROR = 4;       // the service refused (codes 2000 to 2999)
constexpr int EXIT_VOLUME_ERROR = 5;        // the volume could not be read or published (codes below 1000)
constexpr int EXIT_CLIENT_ERROR = 6;        // the library's own errors (codes 3000 and up), lost connection
constexpr int EXIT_NOT_ENTERED = 7;         // listed, but directories that no path can enter were left out
constexpr int EXIT_WRITE_ERROR = 1;         // standard output could not be written
constexpr int EXIT_INTERRUPTED = 130;       // Ctrl-C during the scan

constexpr WCHAR SEPARATOR = '\\';
inline const WString ALL_ENTRIES(1, WCHAR{'*'});

class CNotEntered;

// What the runs of a command on each of its operands add up to.
struct SRun {
  STotals totals;  // of what ls, tree and du went over
  bool failed = false;  // a path or the drive failed; the output has said so
};

// A command's run on one operand's drive.
struct SCommand {
  const SOptions& options;
  const SOpenDrive& drive;
  COutput& output;
  SRun& run;
  CNotEntered& notEntered;
};

// "S:" for a letter, and "S:\a\b" for a path on the drive.
std::string DriveName(WCHAR letter);
std::string DisplayPath(const SOpenDrive& drive, const WString& path);

// The path of an entry of a directory; a directory's path ends with a backslash, in text and JSON.
WString EntryPath(const WString& directory, const SListedEntry& entry);

// The exit code of a library error code.
int ExitCodeOf(int32_t code);

// A failure without a code of the library: a mistaken path (exit 2) or a missing entry (exit 1).
int PathFailure(const SCommand& command, const std::string& message, int exitCode);

// The drive's last error, said on standard error and to the output; its exit code.
int ReportDriveError(const SOptions& options, COutput& output, WCHAR letter);
int ReportDriveError(const SCommand& command);

// The subdirectories of one directory that a path can enter. A path cannot name a directory whose
// name holds a backslash (it would name another, or none), nor the second of two directories of one
// name in one directory (it names the first): a recursive command that went on through such a path
// would list another directory's entries twice and the directory's own never. It lists the entry and
// names what it could not enter.
class CEnterableDirectories {
 public:
  // Nothing when a path reaches the subdirectory entry of a directory listed with these entries;
  // otherwise why not. Call for the directory's subdirectories in the order of its listing.
  const char* WhyNotEnterable(const SListedEntry& entry);
  void StartDirectory() { m_names.clear(); }

 private:
  std::unordered_set<WString> m_names;
};

// The directories a recursive command could not enter, said once it has listed the rest.
class CNotEntered {
 public:
  void Add(const SOpenDrive& drive, const WString& path, const char* why) {
    m_directories.push_back({DisplayPath(drive, path), why});
  }
  // EXIT_OK when every directory was entered; otherwise each one said on standard error and to the
  // output, and EXIT_NOT_ENTERED.
  int Report(COutput& output) const;

 private:
  std::vector<SNotEntered> m_directories;
};

// The entries of a directory that match the pattern, in the order the options ask for.
std::optional<std::vector<SListedEntry>> ReadSorted(const SOptions& options, const SOpenDrive& drive,
                                                    const WString& directory, const WString& pattern);

// Calls visit(directory, entries that match) for the directory and every directory below it that a
// path can enter, each before the ones below it, in the order of the options; the others go to
// notEntered. False (with the drive's error set) when a listing failed.
bool WalkDirectories(const SOptions& options, const SOpenDrive& drive, const WString& top, const WString& pattern,
                     const std::function<void(const WString&, const std::vector<SListedEntry>&)>& visit,
                     CNotEntered& notEntered);

// What a path names on the drive; nothing, with the exit code, when the walk failed.
std::optional<SResolvedPath> Resolve(const SCommand& command, const WString& path, int* exitCode);

// The failure for a path that goes on through a file, or names a file where a directory is needed.
int FileInTheWay(const SCommand& command, const SResolvedPath& resolved);

// The directory a path names, for the commands that work below one (and for the directory part of
// ls's pattern: a name follows); nothing, with the exit code, when it names none.
std::optional<SResolvedPath> ResolveDirectory(const SCommand& command, const WString& path, int* exitCode,
                                              bool nameFollows = false);

// The commands, each on the path of its operand (info: the drive).
int ListCommand(const SCommand& command, const WString& path);
int TreeCommand(const SCommand& command, const WString& path);
int UsageCommand(const SCommand& command, const WString& path);
int FindCommand(const SCommand& command, const WString& path, const WString& pattern);
int InfoCommand(const SCommand& command);
