// ostrin: lists the files of a drive that the OstrinNT service indexes, through OstrinAPI only, as any
// program of its users would. `ostrin --help` says how to use it.
#include <OstrinAPI.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "common/text.h"
#include "platform/console.h"
#include "platform/interrupt.h"
#include "platform/local_time.h"
#include "platform/message_box.h"
#include "platform/program_entry.h"
#include "platform/socket.h"
#include "platform/system_error.h"
#include "platform/volume_device.h"
#include "tools/ostrin/command_line.h"
#include "tools/ostrin/drive_listing.h"
#include "tools/ostrin/drive_state.h"
#include "tools/ostrin/json_writer.h"
#include "tools/tool_format.h"

namespace {

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
const WString ALL_ENTRIES(1, WCHAR{'*'});

std::string Utf8(const WString& text) { return WideToUtf8(text); }

std::string DriveName(WCHAR letter) { return Utf8(WString(1, letter)) + ":"; }

std::string DisplayPath(const SOpenDrive& drive, const WString& path) {
  return Utf8(WString(1, drive.letter) + WTEXT(":") + path);
}

// A message box's text as one line: its line feeds become a blank.
std::string OneLine(const std::string& text) {
  std::string line;
  for (const char c : text) {
    if (c != '\n') {
      line.push_back(c);
    } else if (!line.empty() && line.back() != ' ') {
      line.push_back(' ');
    }
  }
  return line;
}

// What the platform's conversion to local time adds to a UTC time now: the offset the service also
// adds to the times of a drive it scans, when it runs in the same zone.
int64_t LocalUtcOffsetSeconds() {
  constexpr uint64_t TICKS_PER_SECOND = 10'000'000;
  constexpr uint64_t SOME_UTC_TIME = 133'500'000'000'000'000;  // 2024-01-22, far from either end of the range
  uint64_t local = 0;
  if (!ostrin::platform::FileTimeToLocalFileTime(SOME_UTC_TIME, &local)) return 0;
  return (static_cast<int64_t>(local) - static_cast<int64_t>(SOME_UTC_TIME)) / static_cast<int64_t>(TICKS_PER_SECOND);
}

int64_t g_utcOffsetSeconds = 0;

std::string IsoTime(uint64_t fileTime) { return FormatIsoTime(fileTime, g_utcOffsetSeconds); }

// ---- The scan's progress.

int g_progressShown = -1;
bool g_drawProgress = false;
char g_progressLabel[32];

int32_t ShowProgress(int32_t percent, int32_t /*callerValue*/) {
  if (g_drawProgress && percent != g_progressShown) {
    DrawProgressBar(stderr, g_progressLabel, percent);
    g_progressShown = percent;
  }
  // Ctrl-C asks the service to abort the scan; the open then ends with OpenAborted.
  return ostrin::platform::InterruptRequested() ? 0 : 1;
}

void EndProgress() {
  if (g_progressShown >= 0) std::fputc('\n', stderr);
  g_progressShown = -1;
}

// ---- Failures.

int ExitCodeOf(int32_t code) {
  if (code >= 2000 && code < 3000) return EXIT_SERVICE_ERROR;
  if (code > 0 && code < 1000) return EXIT_VOLUME_ERROR;
  return EXIT_CLIENT_ERROR;
}

// With --json, a failure is also the document {"error": {"drive", "code", "text"}} on standard output;
// the code is null for failures that have none (a mistaken path, no service).
void WriteErrorDocument(const SOptions& options, WCHAR letter, std::optional<int32_t> code, const std::string& text) {
  if (!options.json) return;
  CJsonWriter json;
  json.BeginObject();
  json.Key("error");
  json.BeginObject();
  json.Key("drive");
  json.String(letter != 0 ? DriveName(letter) : "");
  json.Key("code");
  if (code) {
    json.Number(static_cast<int64_t>(*code));
  } else {
    json.Null();
  }
  json.Key("text");
  json.String(text);
  json.EndObject();
  json.EndObject();
  json.Finish(stdout);
}

// A mistaken command line: said plainly, with where to read more.
int UsageError(const SOptions& options, const std::string& message) {
  std::fprintf(stderr, "ostrin: %s\n", message.c_str());
  if (options.command != ESubcommand::None && options.command != ESubcommand::Help) {
    std::fprintf(stderr, "Try 'ostrin help %s'.\n", CommandName(options.command));
  } else {
    std::fputs("Try 'ostrin --help'.\n", stderr);
  }
  return EXIT_USAGE;
}

// A failure of a command on a drive that has no code of the library: a mistaken path (exit 2) or a
// missing entry (exit 1).
int PathFailure(const SOptions& options, WCHAR letter, const std::string& message, int exitCode) {
  WriteErrorDocument(options, letter, std::nullopt, message);
  std::fprintf(stderr, "ostrin: %s\n", message.c_str());
  return exitCode;
}

// Whether the service could not open the volume because no volume.X key maps the letter: on Linux
// the service then fails with "Open volume error." and the system's text for "not found".
bool IsUnmappedLetter(const SDriveError& error) {
  if (!ostrin::platform::DriveLettersNeedMapping() || error.code != OSTRIN_ERROR_OPEN_VOLUME) return false;
  const WString notFound = ostrin::platform::SystemErrorText(ostrin::platform::ErrorNotFound());
  return !notFound.empty() && error.text.size() >= notFound.size() &&
         error.text.compare(error.text.size() - notFound.size(), notFound.size(), notFound) == 0;
}

int ReportDriveError(const SOptions& options, WCHAR letter) {
  const SDriveError error = LastDriveError(letter);
  // A system text may end with a line break (an older service passed on FormatMessage's).
  std::string text = Utf8(error.text);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
  WriteErrorDocument(options, letter, error.code, text);
  std::fprintf(stderr, "ostrin: %s error %d: %s\n", DriveName(letter).c_str(), error.code, text.c_str());
  if (IsUnmappedLetter(error)) {
    const std::string upper = Utf8(WString(1, AsciiUpper(letter)));
    std::fprintf(stderr,
                 "ostrin: the service has no volume for %s. On Linux a drive letter is a line 'volume.%s = <block "
                 "device or image file>' in OstrinNT.ini, in the service's folder (and that file must exist)\n",
                 DriveName(letter).c_str(), upper.c_str());
  }
  return ExitCodeOf(error.code);
}

// ---- Output of entries.

std::string SizeText(const SOptions& options, uint64_t bytes) {
  return options.humanSizes ? FormatHumanSize(bytes) : std::to_string(bytes);
}

// The path of an entry of a directory; a directory's path ends with a backslash, in text and JSON.
WString EntryPath(const WString& directory, const SListedEntry& entry) {
  return directory + entry.name + (entry.isDirectory ? WString(1, SEPARATOR) : WString());
}

// The fields of an entry, as ls -l --json, tree --json and find --json give them.
void WriteEntryFields(CJsonWriter& json, const SOpenDrive& drive, const WString& path, const SListedEntry* entry) {
  json.Key("path");
  json.String(DisplayPath(drive, path));
  json.Key("name");
  json.String(entry != nullptr ? Utf8(entry->name) : "");
  json.Key("directory");
  json.Bool(entry == nullptr || entry->isDirectory);
  json.Key("attributes");
  json.Number(static_cast<uint64_t>(entry != nullptr ? entry->attributes : 0x10));
  json.Key("size");
  json.Number(entry != nullptr ? entry->size : 0);
  json.Key("allocated");
  json.Number(entry != nullptr ? entry->allocated : 0);
  // The root has no entry of its own, and so no times.
  const auto time = [&](uint64_t value) {
    if (entry != nullptr) {
      json.String(IsoTime(value));
    } else {
      json.Null();
    }
  };
  json.Key("lastWrite");
  time(entry != nullptr ? entry->lastWriteTime : 0);
  json.Key("created");
  time(entry != nullptr ? entry->creationTime : 0);
  json.Key("lastAccess");
  time(entry != nullptr ? entry->lastAccessTime : 0);
}

void WriteEntryJson(CJsonWriter& json, const SOpenDrive& drive, const WString& directory, const SListedEntry& entry) {
  json.BeginObject();
  WriteEntryFields(json, drive, EntryPath(directory, entry), &entry);
  json.EndObject();
}

void PrintEntry(const SOptions& options, const SListedEntry& entry) {
  const std::string name = Utf8(entry.name) + (entry.isDirectory ? "\\" : "");
  if (!options.longFormat) {
    std::printf("%s\n", name.c_str());
    return;
  }
  const std::string size = entry.isDirectory ? "<DIR>" : SizeText(options, entry.size);
  const std::string allocated = entry.isDirectory ? "" : SizeText(options, entry.allocated);
  std::printf("%s %15s %15s  %s  %s\n", FormatAttributes(entry.attributes).c_str(), size.c_str(), allocated.c_str(),
              FormatFileTime(entry.lastWriteTime).c_str(), name.c_str());
}

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
};

// The summary that ends ls -l and du, in the manner of dir's.
void PrintSummary(const SOptions& options, const STotals& totals) {
  const std::string size = options.humanSizes ? FormatHumanSize(totals.size) : std::to_string(totals.size) + " bytes";
  const std::string allocated = SizeText(options, totals.allocated);
  std::printf("%8llu file(s)  %s, %s allocated\n%8llu dir(s)\n", static_cast<unsigned long long>(totals.files),
              size.c_str(), allocated.c_str(), static_cast<unsigned long long>(totals.directories));
}

// ---- Directories of the drive.

// The subdirectories of one directory that a path can enter. A path cannot name a directory whose
// name holds a backslash (it would name another, or none), nor the second of two directories of one
// name in one directory (it names the first): a recursive command that went on through such a path
// would list another directory's entries twice and the directory's own never. It lists the entry and
// names what it could not enter.
class CEnterableDirectories {
 public:
  // Nothing when a path reaches the subdirectory entry of a directory listed with these entries;
  // otherwise why not. Call for the directory's subdirectories in the order of its listing.
  const char* WhyNotEnterable(const SListedEntry& entry) {
    if (entry.name.find(SEPARATOR) != WString::npos) return "its name holds a backslash";
    if (!m_names.insert(entry.name).second) return "another directory of its name comes first";
    return nullptr;
  }
  void StartDirectory() { m_names.clear(); }

 private:
  std::unordered_set<WString> m_names;
};

// The directories a recursive command could not enter, said once it has listed the rest.
class CNotEntered {
 public:
  void Add(const SOpenDrive& drive, const WString& path, const char* why) {
    m_lines.push_back(DisplayPath(drive, path) + ": cannot be entered by path (" + why + ")");
  }
  // EXIT_OK when every directory was entered; otherwise each one said on standard error.
  int Report() const {
    for (const std::string& line : m_lines) std::fprintf(stderr, "ostrin: %s\n", line.c_str());
    return m_lines.empty() ? EXIT_OK : EXIT_NOT_ENTERED;
  }

 private:
  std::vector<std::string> m_lines;
};

// The entries of a directory that match the pattern, in the order the options ask for.
std::optional<std::vector<SListedEntry>> ReadSorted(const SOptions& options, const SOpenDrive& drive,
                                                    const WString& directory, const WString& pattern) {
  auto entries = ReadDirectory(drive, directory, pattern);
  if (entries) SortEntries(*entries, options.sort, options.reverse);
  return entries;
}

// Calls visit(directory, entries that match) for the directory and every directory below it that a
// path can enter, each before the ones below it, in the order of the options; the others go to
// notEntered. False (with the drive's error set) when a listing failed.
bool WalkDirectories(const SOptions& options, const SOpenDrive& drive, const WString& top, const WString& pattern,
                     const std::function<void(const WString&, const std::vector<SListedEntry>&)>& visit,
                     CNotEntered& notEntered) {
  // Depth first, with one path that grows and shrinks: memory grows with the depth, not with the
  // depth times the directories waiting.
  struct SFrame {
    std::vector<WString> below;  // the subdirectories to enter, in the order of the options
    size_t next = 0;
    size_t pathLength = 0;       // of the directory's path
  };
  WString directory = top;
  std::vector<SFrame> stack;
  CEnterableDirectories enterable;
  const auto enter = [&]() {
    const auto matches = ReadSorted(options, drive, directory, pattern);
    if (!matches) return false;
    visit(directory, *matches);
    const auto all = pattern == ALL_ENTRIES ? matches : ReadSorted(options, drive, directory, ALL_ENTRIES);
    if (!all) return false;
    // (Of two directories of one name a path enters the same one: the second is not entered.)
    SFrame frame;
    frame.pathLength = directory.size();
    enterable.StartDirectory();
    for (const SListedEntry& entry : *all) {
      if (!entry.isDirectory) continue;
      if (const char* why = enterable.WhyNotEnterable(entry)) {
        notEntered.Add(drive, EntryPath(directory, entry), why);
      } else {
        frame.below.push_back(entry.name);
      }
    }
    stack.push_back(std::move(frame));
    return true;
  };
  if (!enter()) return false;
  while (!stack.empty()) {
    SFrame& frame = stack.back();
    directory.resize(frame.pathLength);
    if (frame.next == frame.below.size()) {
      stack.pop_back();
      continue;
    }
    // Output that can no longer be written ends the walk; the program's end reports it.
    if (std::ferror(stdout) != 0) return true;
    directory += frame.below[frame.next++];
    directory.push_back(SEPARATOR);
    if (!enter()) return false;
  }
  return true;
}

// What a path names on the drive; nothing, with the exit code, when the walk failed.
std::optional<SResolvedPath> Resolve(const SOptions& options, const SOpenDrive& drive, const WString& path,
                                     int* exitCode) {
  auto resolved = ResolvePath(drive, path);
  if (!resolved) *exitCode = ReportDriveError(options, drive.letter);
  return resolved;
}

// The failure for a path that goes on through a file, or names a file where a directory is needed.
int FileInTheWay(const SOptions& options, const SOpenDrive& drive, const SResolvedPath& resolved) {
  const std::string file = DisplayPath(drive, resolved.path);
  return PathFailure(options, drive.letter,
                     resolved.complete ? file + " is a file, not a directory"
                                       : file + " is a file: a path cannot go on below it",
                     EXIT_USAGE);
}

// The directory a path names, for the commands that work below one (and for the directory part of
// ls's pattern: a name follows); nothing, with the exit code, when it names none.
std::optional<SResolvedPath> ResolveDirectory(const SOptions& options, const SOpenDrive& drive, const WString& path,
                                              int* exitCode, bool nameFollows = false) {
  auto resolved = Resolve(options, drive, path, exitCode);
  if (!resolved) return std::nullopt;
  if (nameFollows) resolved->complete = false;
  switch (resolved->kind) {
    case SResolvedPath::EKind::Directory:
      return resolved;
    case SResolvedPath::EKind::File:
      *exitCode = FileInTheWay(options, drive, *resolved);
      return std::nullopt;
    case SResolvedPath::EKind::Missing:
      *exitCode = PathFailure(options, drive.letter, DisplayPath(drive, resolved->path) + ": no such directory",
                              EXIT_NOT_FOUND);
      return std::nullopt;
  }
  return std::nullopt;
}

bool ListsWholeDirectory(const WString& pattern) { return pattern == ALL_ENTRIES || pattern == WTEXT("*.*"); }

// ---- The commands.

int ListCommand(const SOptions& options, const SOpenDrive& drive, const WString& path) {
  int exitCode = EXIT_OK;
  WString directory;
  WString pattern;
  const size_t split = path.rfind(SEPARATOR);
  const WString lastName = path.substr(split + 1);
  if (lastName.find_first_of(WTEXT("*?")) != WString::npos) {
    const auto parent = ResolveDirectory(options, drive, path.substr(0, split + 1), &exitCode, true);
    if (!parent) return exitCode;
    directory = parent->path;
    pattern = lastName;
  } else {
    // A name lists the directory it names, or the one file.
    const auto resolved = Resolve(options, drive, path, &exitCode);
    if (!resolved) return exitCode;
    if (resolved->kind == SResolvedPath::EKind::Missing) {
      const bool directoryMissing = !resolved->complete || path.back() == SEPARATOR;
      return PathFailure(options, drive.letter,
                         DisplayPath(drive, resolved->path) +
                             (directoryMissing ? ": no such directory" : ": no such file or directory"),
                         EXIT_NOT_FOUND);
    }
    if (resolved->kind == SResolvedPath::EKind::File) {
      if (!resolved->complete || path.back() == SEPARATOR) return FileInTheWay(options, drive, *resolved);
      const size_t fileSplit = resolved->path.rfind(SEPARATOR);
      directory = resolved->path.substr(0, fileSplit + 1);
      pattern = resolved->path.substr(fileSplit + 1);
    } else {
      directory = resolved->path;
      pattern = ALL_ENTRIES;
    }
  }

  CJsonWriter json;
  if (options.json) json.BeginArray();
  STotals totals;
  size_t found = 0;
  bool firstDirectory = true;
  const auto list = [&](const WString& listed, const std::vector<SListedEntry>& entries) {
    found += entries.size();
    for (const SListedEntry& entry : entries) totals.Add(entry);
    if (options.json) {
      for (const SListedEntry& entry : entries) WriteEntryJson(json, drive, listed, entry);
      return;
    }
    if (options.recursive) {
      if (!firstDirectory) std::printf("\n");
      std::printf("Directory of %s\n", DisplayPath(drive, listed).c_str());
    }
    firstDirectory = false;
    for (const SListedEntry& entry : entries) PrintEntry(options, entry);
  };
  bool listed = true;
  CNotEntered notEntered;
  if (options.recursive) {
    listed = WalkDirectories(options, drive, directory, pattern, list, notEntered);
  } else if (const auto entries = ReadSorted(options, drive, directory, pattern)) {
    list(directory, *entries);
  } else {
    listed = false;
  }
  if (!listed) return ReportDriveError(options, drive.letter);
  if (options.json) {
    json.EndArray();
    json.Finish(stdout);
  } else if (options.longFormat) {
    if (options.recursive) std::printf("\n");
    PrintSummary(options, totals);
  }
  if (found == 0 && !ListsWholeDirectory(pattern)) {
    std::fprintf(stderr, "ostrin: %s: no entry matches\n", DisplayPath(drive, directory + pattern).c_str());
    return EXIT_NOT_FOUND;
  }
  return notEntered.Report();
}

// The tree below a directory, one entry per line, drawn with ASCII lines.
int TreeCommand(const SOptions& options, const SOpenDrive& drive, const WString& path) {
  int exitCode = EXIT_OK;
  const auto top = ResolveDirectory(options, drive, path, &exitCode);
  if (!top) return exitCode;
  // One path and one indent that grow and shrink with the walk: memory grows with the depth.
  struct SFrame {
    std::vector<SListedEntry> entries;
    std::vector<const char*> notEnterable;  // per entry: why a path cannot enter it, or nothing
    size_t next = 0;
    size_t pathLength = 0;    // of the directory's path
    size_t indentLength = 0;  // of its entries' indent
  };
  CJsonWriter json;
  CNotEntered notEntered;
  WString directory = top->path;
  std::string indent;
  const auto open = [&]() -> std::optional<SFrame> {
    auto entries = ReadSorted(options, drive, directory, ALL_ENTRIES);
    if (!entries) return std::nullopt;
    CEnterableDirectories enterable;
    std::vector<const char*> notEnterable(entries->size(), nullptr);
    for (size_t i = 0; i < entries->size(); ++i) {
      if ((*entries)[i].isDirectory) notEnterable[i] = enterable.WhyNotEnterable((*entries)[i]);
    }
    return SFrame{std::move(*entries), std::move(notEnterable), 0, directory.size(), indent.size()};
  };
  auto root = open();
  if (!root) return ReportDriveError(options, drive.letter);
  if (options.json) {
    json.BeginObject();
    WriteEntryFields(json, drive, top->path, top->entry ? &*top->entry : nullptr);
    json.Key("children");
    json.BeginArray();
  } else {
    std::printf("%s\n", DisplayPath(drive, top->path).c_str());
  }
  std::vector<SFrame> stack;
  stack.push_back(std::move(*root));
  while (!stack.empty()) {
    SFrame& frame = stack.back();
    directory.resize(frame.pathLength);
    indent.resize(frame.indentLength);
    if (frame.next == frame.entries.size()) {
      stack.pop_back();
      if (options.json) {
        json.EndArray();
        json.EndObject();
      }
      continue;
    }
    const char* notEnterable = frame.notEnterable[frame.next];
    const SListedEntry& entry = frame.entries[frame.next++];
    const bool last = frame.next == frame.entries.size();
    if (options.json) {
      json.BeginObject();
      WriteEntryFields(json, drive, EntryPath(directory, entry), &entry);
      if (!entry.isDirectory) json.EndObject();
    } else {
      std::printf("%s%s%s%s\n", indent.c_str(), last ? "\\-- " : "+-- ", Utf8(entry.name).c_str(),
                  entry.isDirectory ? "\\" : "");
    }
    if (!entry.isDirectory) continue;
    if (notEnterable != nullptr) {
      notEntered.Add(drive, EntryPath(directory, entry), notEnterable);
      if (options.json) json.EndObject();
      continue;
    }
    directory += entry.name;
    directory.push_back(SEPARATOR);
    indent += last ? "    " : "|   ";
    auto child = open();
    if (!child) return ReportDriveError(options, drive.letter);
    if (options.json) {
      json.Key("children");
      json.BeginArray();
    }
    stack.push_back(std::move(*child));
  }
  if (options.json) json.Finish(stdout);
  return notEntered.Report();
}

// Sizes summed per directory, each directory after the ones below it (as du prints them), then the
// totals.
int UsageCommand(const SOptions& options, const SOpenDrive& drive, const WString& topPath) {
  int exitCode = EXIT_OK;
  const auto top = ResolveDirectory(options, drive, topPath, &exitCode);
  if (!top) return exitCode;
  // The directories below the top, read first and printed once their sums are known: --sort=size
  // orders the subdirectories of a directory by what is below them. A node keeps its name, not its
  // path: both walks build the path as they go, so memory grows with the entries, not their depth.
  struct SNode {
    SListedEntry entry;  // size: the files below it, all levels
    STotals totals;      // all levels below it
    std::vector<size_t> children;
  };
  std::vector<SNode> nodes;
  nodes.push_back(SNode{top->entry.value_or(SListedEntry{}), {}, {}});
  CNotEntered notEntered;
  WString path = top->path;
  const auto read = [&](size_t index) {
    const auto entries = ReadDirectory(drive, path, ALL_ENTRIES);
    if (!entries) return false;
    CEnterableDirectories enterable;
    for (const SListedEntry& entry : *entries) {
      nodes[index].totals.Add(entry);
      if (!entry.isDirectory) continue;
      if (const char* why = enterable.WhyNotEnterable(entry)) {
        notEntered.Add(drive, EntryPath(path, entry), why);
        continue;
      }
      nodes[index].children.push_back(nodes.size());
      nodes.push_back(SNode{entry, {}, {}});
    }
    return true;
  };
  // Walks the nodes depth first, path the directory's path all along: enter(node) when the walk
  // comes to it, leave(node) after everything below it.
  const auto walk = [&](const std::function<bool(size_t)>& enter, const std::function<void(size_t)>& leave) {
    if (!enter(0)) return false;
    std::vector<std::pair<size_t, size_t>> stack{{0, 0}};  // node, its next child
    while (!stack.empty()) {
      const auto [index, next] = stack.back();
      if (next < nodes[index].children.size()) {
        ++stack.back().second;
        const size_t child = nodes[index].children[next];
        path += nodes[child].entry.name;
        path.push_back(SEPARATOR);
        if (!enter(child)) return false;
        stack.emplace_back(child, 0);
        continue;
      }
      leave(index);
      stack.pop_back();
      if (!stack.empty()) path.resize(path.size() - nodes[index].entry.name.size() - 1);
    }
    return true;
  };
  // Every child comes after its parent in nodes.
  if (!walk(read, [](size_t) {})) return ReportDriveError(options, drive.letter);
  // Children first: each one's sums are complete before its parent's take them.
  for (size_t index = nodes.size(); index-- > 0;) {
    STotals& totals = nodes[index].totals;
    for (const size_t child : nodes[index].children) {
      totals.files += nodes[child].totals.files;
      totals.directories += nodes[child].totals.directories;
      totals.size += nodes[child].totals.size;
      totals.allocated += nodes[child].totals.allocated;
    }
    nodes[index].entry.size = totals.size;
  }
  for (SNode& node : nodes) {
    SortItems(node.children, options.sort, options.reverse,
              [&](size_t child) -> const SListedEntry& { return nodes[child].entry; });
  }

  CJsonWriter json;
  if (options.json) json.BeginArray();
  const auto print = [&](size_t index) {
    const SNode& node = nodes[index];
    if (options.json) {
      json.BeginObject();
      json.Key("path");
      json.String(DisplayPath(drive, path));
      json.Key("size");
      json.Number(node.totals.size);
      json.Key("allocated");
      json.Number(node.totals.allocated);
      json.Key("files");
      json.Number(node.totals.files);
      json.Key("directories");
      json.Number(node.totals.directories);
      json.EndObject();
    } else {
      std::printf("%15s %15s  %s\n", SizeText(options, node.totals.size).c_str(),
                  SizeText(options, node.totals.allocated).c_str(), DisplayPath(drive, path).c_str());
    }
  };
  // Post-order: a directory after everything below it.
  path = top->path;
  walk([](size_t) { return true; }, print);
  if (options.json) {
    json.EndArray();
    json.Finish(stdout);
  } else {
    PrintSummary(options, nodes[0].totals);
  }
  return notEntered.Report();
}

// Every entry below a directory whose name matches the pattern, a directory's matches before those
// below it.
int FindCommand(const SOptions& options, const SOpenDrive& drive, const WString& path, const WString& pattern) {
  int exitCode = EXIT_OK;
  const auto top = ResolveDirectory(options, drive, path, &exitCode);
  if (!top) return exitCode;
  CJsonWriter json;
  if (options.json) json.BeginArray();
  size_t found = 0;
  CNotEntered notEntered;
  const bool walked = WalkDirectories(options, drive, top->path, pattern,
                                      [&](const WString& directory, const std::vector<SListedEntry>& entries) {
    for (const SListedEntry& entry : entries) {
      if (options.findDirectories && entry.isDirectory != *options.findDirectories) continue;
      ++found;
      if (options.json) {
        WriteEntryJson(json, drive, directory, entry);
      } else {
        std::printf("%s\n", DisplayPath(drive, EntryPath(directory, entry)).c_str());
      }
    }
  }, notEntered);
  if (!walked) return ReportDriveError(options, drive.letter);
  if (options.json) {
    json.EndArray();
    json.Finish(stdout);
  }
  const int entered = notEntered.Report();
  if (entered != EXIT_OK) return entered;
  return found == 0 ? EXIT_NOT_FOUND : EXIT_OK;
}

int InfoCommand(const SOptions& options, const SOpenDrive& drive) {
  STotals totals;
  CNotEntered notEntered;
  const std::optional<SDriveState> state = QueryDriveState(drive.letter);
  if (state && state->totalsKnown) {
    // The service sums the image in one pass: every entry once, however deep the tree, also those
    // that no path can reach.
    totals = STotals{state->files, state->directories, state->size, state->allocated};
  } else {
    // A walk by paths, which cannot enter what no path reaches.
    SOptions imageOrder = options;
    imageOrder.sort = ESortKey::None;  // the counts need no order
    const bool walked = WalkDirectories(imageOrder, drive, WString(1, SEPARATOR), ALL_ENTRIES,
                                        [&](const WString&, const std::vector<SListedEntry>& entries) {
      for (const SListedEntry& entry : entries) totals.Add(entry);
    }, notEntered);
    if (!walked) return ReportDriveError(options, drive.letter);
  }
  const uint64_t imageBytes = OstGetMemoryUsage(drive.index);
  const std::string name = DisplayPath(drive, WString());
  // The build time in the zone the entries' times are in.
  uint64_t builtLocal = 0;
  if (state && !ostrin::platform::FileTimeToLocalFileTime(state->builtAt, &builtLocal)) builtLocal = state->builtAt;
  if (options.json) {
    CJsonWriter json;
    json.BeginObject();
    json.Key("drive");
    json.String(name);
    json.Key("imageBytes");
    json.Number(imageBytes);
    json.Key("directories");
    json.Number(totals.directories);
    json.Key("files");
    json.Number(totals.files);
    json.Key("size");
    json.Number(totals.size);
    json.Key("allocated");
    json.Number(totals.allocated);
    if (state) {
      json.Key("generation");
      json.Number(state->generation);
      json.Key("built");
      json.String(IsoTime(builtLocal));
    }
    json.EndObject();
    json.Finish(stdout);
    return notEntered.Report();
  }
  const auto bytes = [&](uint64_t value) {
    return options.humanSizes ? FormatHumanSize(value) : std::to_string(value) + " bytes";
  };
  std::printf("Drive        %s\nImage        %s\nDirectories  %llu\nFiles        %llu\nSize         %s\n"
              "Allocated    %s\n",
              name.c_str(), bytes(imageBytes).c_str(), static_cast<unsigned long long>(totals.directories),
              static_cast<unsigned long long>(totals.files), bytes(totals.size).c_str(), bytes(totals.allocated).c_str());
  if (state) {
    std::printf("Generation   %llu\nBuilt        %s\n", static_cast<unsigned long long>(state->generation),
                FormatFileTime(builtLocal).c_str());
  }
  return notEntered.Report();
}

int RunCommand(const SOptions& options, const SOpenDrive& drive, const WString& path) {
  switch (options.command) {
    case ESubcommand::List: return ListCommand(options, drive, path);
    case ESubcommand::Tree: return TreeCommand(options, drive, path);
    case ESubcommand::Usage: return UsageCommand(options, drive, path);
    case ESubcommand::Find: return FindCommand(options, drive, path, options.operands[1]);
    default: return InfoCommand(options, drive);
  }
}

// ---- The service.

// Whether something accepts connections on the service's port, found by connecting and closing again
// at once (the service takes a connection that ends before its first command without a word).
bool ServiceListens() {
  namespace platform = ostrin::platform;
  if (!platform::StartSocketLibrary()) return false;
  bool listens = false;
  uint32_t address = 0;
  std::string dotted;
  if (platform::LookupHostIPv4(OSTRIN_API_SERVICE_HOST, &address, &dotted)) {
    platform::UniqueSocket socket(platform::CreateTcpSocket());
    listens = socket.IsValid() && platform::ConnectSocket(socket.Get(), address, OSTRIN_API_SERVICE_PORT);
  }
  platform::CleanupSocketLibrary();
  return listens;
}

// Where OstConnect would show a message box that nobody clicks away (a script on Windows), or when
// asked to, the command first finds out that the service listens.
bool ChecksServiceFirst(const SOptions& options) {
  return options.noDialog ||
         (ostrin::platform::ErrorMessagesWaitForUser() && !ostrin::platform::IsTerminal(stdin));
}

int NoService(const SOptions& options, WCHAR letter, bool connectFailed) {
  const std::string cannotConnect = OneLine(OSTRIN_MESSAGE_CANNOT_CONNECT);
  if (!connectFailed) {
    // What OstConnect would have said, without its message box.
    std::fprintf(stderr, "Error: %s\n", cannotConnect.c_str());
    WriteErrorDocument(options, letter, std::nullopt, cannotConnect);
  } else if (options.json) {
    // OstConnect has told the user; the document says as much as can be known here.
    WriteErrorDocument(options, letter, std::nullopt,
                       ServiceListens() ? "The service on port " + std::to_string(OSTRIN_API_SERVICE_PORT) +
                                              " did not accept the connection."
                                        : cannotConnect);
  }
  return EXIT_NO_SERVICE;
}

// ostrin --help, ostrin COMMAND --help, ostrin help [COMMAND].
int PrintHelp(const SOptions& options) {
  ESubcommand command = options.command;
  if (command == ESubcommand::Help) {
    command = options.operands.empty() ? ESubcommand::None
                                       : CommandOfName(Utf8(options.operands[0])).value_or(ESubcommand::None);
  }
  std::fputs(HelpText(command).c_str(), stdout);
  return EXIT_OK;
}

// The command's exit code, once standard output holds all it was given: output that could not be
// written (a full disk, a closed pipe) is "write error" and exit 1, whatever the command found.
int FinishOutput(int exitCode) {
  errno = 0;
  if (std::fflush(stdout) == 0 && std::ferror(stdout) == 0) return exitCode;
  const int error = errno;
  std::fprintf(stderr, "ostrin: write error%s%s\n", error != 0 ? ": " : "", error != 0 ? std::strerror(error) : "");
  return EXIT_WRITE_ERROR;
}

int RunOstrin(int argc, WCHAR** argv) {
  // Both streams alike: UTF-8 with the same line ends as on Linux (messages name paths too).
  ostrin::platform::UseUtf8Output(stdout);
  ostrin::platform::UseUtf8Output(stderr);
  SOptions options;
  std::string error;
  if (!ParseCommandLine(argc, argv, &options, &error)) return UsageError(options, error);
  if (options.help || options.command == ESubcommand::Help) return PrintHelp(options);
  if (options.version) {
    std::printf("ostrin %s\nOstrinAPI %s\n", OSTRIN_COMMAND_VERSION, OSTRIN_API_VERSION_STRING);
    return EXIT_OK;
  }
  SDrivePath drivePath;
  if (!CheckOperands(options, &drivePath, &error)) {
    const WString& operand = options.operands[0];
    const bool knownDrive = operand.size() >= 2 && operand[1] == ':' && AsciiUpper(operand[0]) >= 'A' &&
                            AsciiUpper(operand[0]) <= 'Z';
    WriteErrorDocument(options, knownDrive ? operand[0] : 0, std::nullopt, error);
    return UsageError(options, error);
  }
  const WCHAR letter = drivePath.letter;
  g_utcOffsetSeconds = LocalUtcOffsetSeconds();

  if (ChecksServiceFirst(options) && !ServiceListens()) return NoService(options, letter, false);
  if (OstConnect() == 0) return NoService(options, letter, true);

  ostrin::platform::CatchInterrupts();
  g_drawProgress = options.progress.value_or(ostrin::platform::IsTerminal(stderr));
  std::snprintf(g_progressLabel, sizeof g_progressLabel, "Scanning %s", DriveName(letter).c_str());
  const int32_t index = OstOpenDrive(letter, ShowProgress, 0);
  EndProgress();
  // Only the scan is aborted through the service; a Ctrl-C while the listing runs ends the program.
  ostrin::platform::ReleaseInterrupts();
  int exitCode = EXIT_OK;
  if (index >= 0 && ostrin::platform::InterruptRequested()) {
    // The scan had finished when Ctrl-C came: nothing is listed.
    OstCloseDrive(static_cast<uint32_t>(index));
    exitCode = EXIT_INTERRUPTED;
  } else if (index < 0) {
    if (OstGetLastError(letter) == OSTRIN_ERROR_NONE) {
      // Aborted: by Ctrl-C here, or by the service (it aborts running scans when it stops).
      const bool interrupted = ostrin::platform::InterruptRequested();
      std::fprintf(stderr, "ostrin: the scan of %s was aborted%s\n", DriveName(letter).c_str(),
                   interrupted ? "" : " by the service");
      exitCode = interrupted ? EXIT_INTERRUPTED : EXIT_SERVICE_ERROR;
    } else {
      exitCode = ReportDriveError(options, letter);
    }
  } else {
    const SOpenDrive drive{static_cast<uint32_t>(index), static_cast<WCHAR>('A' + index)};
    exitCode = RunCommand(options, drive, drivePath.path);
    OstCloseDrive(drive.index);
  }
  OstDisconnect();
  return exitCode;
}

}  // namespace

int ProgramMain(int argc, WCHAR** argv) { return FinishOutput(RunOstrin(argc, argv)); }
