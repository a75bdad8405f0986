// ostrin: lists the files of a drive that the OstrinNT service indexes, through OstrinAPI only, as any
// program of its users would.
//
//   ostrin [--json] [--progress | --no-progress] ls [-l] [-R] X:[\path\][pattern]
//   ostrin [...] tree X:[\path]
//   ostrin [...] du X:[\path]
//   ostrin [...] find X: pattern
//   ostrin [...] info X:
#include <OstrinAPI.h>

#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "common/text.h"
#include "platform/console.h"
#include "platform/interrupt.h"
#include "platform/program_entry.h"
#include "tools/ostrin/drive_listing.h"
#include "tools/ostrin/json_writer.h"
#include "tools/tool_format.h"

namespace {

// Exit codes.
constexpr int EXIT_OK = 0;
constexpr int EXIT_NOT_FOUND = 1;           // nothing matched
constexpr int EXIT_USAGE = 2;
constexpr int EXIT_NO_SERVICE = 3;          // OstConnect failed (it has told the user why)
constexpr int EXIT_SERVICE_ERROR = 4;       // the service refused (codes 2000 to 2008)
constexpr int EXIT_VOLUME_ERROR = 5;        // the volume could not be read or published (codes below 1000)
constexpr int EXIT_CLIENT_ERROR = 6;        // the library's own errors (codes 3001 and up), lost connection
constexpr int EXIT_INTERRUPTED = 130;       // Ctrl-C during the scan

constexpr WCHAR SEPARATOR = '\\';

const char USAGE[] =
    "usage: ostrin [--json] [--progress | --no-progress] COMMAND\n"
    "  ls [-l] [-R] X:[\\path\\][pattern]   entries of a directory ('*' and '?' in the pattern)\n"
    "  tree X:[\\path]                      the tree below a directory\n"
    "  du X:[\\path]                        sizes summed per directory\n"
    "  find X: pattern                     every entry of the drive whose name matches\n"
    "  info X:                             the drive's image size and counts\n"
    "exit codes: 0 done, 1 nothing found, 2 usage, 3 no service, 4 refused by the service,\n"
    "  5 volume error, 6 library or communication error, 130 interrupted\n";

struct SOptions {
  bool json = false;
  std::optional<bool> progress;  // unset: a progress bar when standard error is a terminal
  std::string command;
  bool longFormat = false;
  bool recursive = false;
  std::vector<WString> operands;
};

std::string Utf8(const WString& text) { return WideToUtf8(text); }

bool HasWildcard(const WString& text) { return text.find_first_of(WTEXT("*?")) != WString::npos; }

// ---- The drive.

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

int ExitCodeOf(int32_t code) {
  if (code >= 2000 && code < 3000) return EXIT_SERVICE_ERROR;
  if (code > 0 && code < 1000) return EXIT_VOLUME_ERROR;
  return EXIT_CLIENT_ERROR;
}

int ReportDriveError(const SOptions& options, WCHAR letter) {
  const SDriveError error = LastDriveError(letter);
  const std::string drive = Utf8(WString(1, letter)) + ":";
  if (options.json) {
    CJsonWriter json;
    json.BeginObject();
    json.Key("error");
    json.BeginObject();
    json.Key("drive");
    json.String(drive);
    json.Key("code");
    json.Number(static_cast<int64_t>(error.code));
    json.Key("text");
    json.String(Utf8(error.text));
    json.EndObject();
    json.EndObject();
    json.Finish(stdout);
  }
  // System texts on Windows end with a line break of their own.
  std::string text = Utf8(error.text);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
  std::fprintf(stderr, "ostrin: %s error %d: %s\n", drive.c_str(), error.code, text.c_str());
  return ExitCodeOf(error.code);
}

// "X:" followed by a path; the path defaults to the root.
bool ParseDrivePath(const WString& operand, WCHAR* letter, WString* path) {
  if (operand.size() < 2 || operand[1] != ':') return false;
  const WCHAR upper = AsciiUpper(operand[0]);
  if (upper < 'A' || upper > 'Z') return false;
  *letter = operand[0];
  *path = operand.size() == 2 ? WString(1, SEPARATOR) : operand.substr(2);
  return true;
}

std::string DisplayPath(const SOpenDrive& drive, const WString& path) {
  return Utf8(WString(1, drive.letter) + WTEXT(":") + path);
}

// ---- Output of entries.

void WriteEntryJson(CJsonWriter& json, const SOpenDrive& drive, const WString& directory, const SListedEntry& entry) {
  json.BeginObject();
  json.Key("path");
  json.String(DisplayPath(drive, directory + entry.name));
  json.Key("name");
  json.String(Utf8(entry.name));
  json.Key("directory");
  json.Bool(entry.isDirectory);
  json.Key("attributes");
  json.Number(static_cast<uint64_t>(entry.attributes));
  json.Key("size");
  json.Number(entry.size);
  json.Key("allocated");
  json.Number(entry.allocated);
  json.Key("lastWrite");
  json.String(FormatFileTime(entry.lastWriteTime));
  json.Key("created");
  json.String(FormatFileTime(entry.creationTime));
  json.Key("lastAccess");
  json.String(FormatFileTime(entry.lastAccessTime));
  json.EndObject();
}

void PrintEntry(const SOptions& options, const SListedEntry& entry) {
  const std::string name = Utf8(entry.name) + (entry.isDirectory ? "\\" : "");
  if (!options.longFormat) {
    std::printf("%s\n", name.c_str());
    return;
  }
  if (entry.isDirectory) {
    std::printf("%s %15s %15s  %s  %s\n", FormatAttributes(entry.attributes).c_str(), "<DIR>", "",
                FormatFileTime(entry.lastWriteTime).c_str(), name.c_str());
  } else {
    std::printf("%s %15llu %15llu  %s  %s\n", FormatAttributes(entry.attributes).c_str(),
                static_cast<unsigned long long>(entry.size), static_cast<unsigned long long>(entry.allocated),
                FormatFileTime(entry.lastWriteTime).c_str(), name.c_str());
  }
}

// ---- Walking the drive: each directory read whole, then its subdirectories, depth first.

// Calls visit(directory, entries) for the directory and every directory below it, a directory before
// the ones below it, in image order. False (with the drive's error set) when a listing failed.
bool WalkDirectories(const SOpenDrive& drive, const WString& top, const WString& pattern,
                     const std::function<void(const WString&, const std::vector<SListedEntry>&)>& visit) {
  std::vector<WString> pending{top};
  while (!pending.empty()) {
    const WString directory = std::move(pending.back());
    pending.pop_back();
    const auto matches = ReadDirectory(drive, directory, pattern);
    if (!matches) return false;
    visit(directory, *matches);
    const auto all = pattern == WTEXT("*") ? matches : ReadDirectory(drive, directory, WTEXT("*"));
    if (!all) return false;
    for (auto entry = all->rbegin(); entry != all->rend(); ++entry) {
      if (entry->isDirectory) pending.push_back(directory + entry->name + SEPARATOR);
    }
  }
  return true;
}

// The directory a path names ("\a\b\"), when it names one; what `ls X:\a\b` lists.
std::optional<WString> DirectoryOfPath(const SOpenDrive& drive, const WString& path) {
  if (path.back() == SEPARATOR) return path;
  if (HasWildcard(path)) return std::nullopt;
  const size_t split = path.rfind(SEPARATOR);
  const auto entries = ReadDirectory(drive, path.substr(0, split + 1), path.substr(split + 1));
  if (entries && entries->size() == 1 && entries->front().isDirectory) {
    return path.substr(0, split + 1) + entries->front().name + SEPARATOR;
  }
  return std::nullopt;
}

// The directory that tree, du and find work below; nothing, with the exit code, when the path names
// no directory.
std::optional<WString> TopDirectory(const SOptions& options, const SOpenDrive& drive, const WString& path,
                                    int* exitCode) {
  auto top = DirectoryOfPath(drive, path);
  if (top) return top;
  if (OstGetLastError(drive.letter) != 0) {
    *exitCode = ReportDriveError(options, drive.letter);
  } else {
    std::fprintf(stderr, "ostrin: %s: not a directory\n", DisplayPath(drive, path).c_str());
    *exitCode = EXIT_NOT_FOUND;
  }
  return std::nullopt;
}

// ---- The commands.

int ListCommand(const SOptions& options, const SOpenDrive& drive, const WString& path) {
  WString directory;
  WString pattern;
  if (const auto named = DirectoryOfPath(drive, path)) {
    directory = *named;
    pattern = WString(1, WCHAR{'*'});
  } else {
    const size_t split = path.rfind(SEPARATOR);
    directory = path.substr(0, split + 1);
    pattern = path.substr(split + 1);
  }
  CJsonWriter json;
  if (options.json) json.BeginArray();
  size_t found = 0;
  bool firstDirectory = true;
  const auto list = [&](const WString& listed, const std::vector<SListedEntry>& entries) {
    found += entries.size();
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
  if (options.recursive) {
    listed = WalkDirectories(drive, directory, pattern, list);
  } else if (const auto entries = ReadDirectory(drive, directory, pattern)) {
    list(directory, *entries);
  } else {
    listed = false;
  }
  if (!listed) return ReportDriveError(options, drive.letter);
  if (options.json) {
    json.EndArray();
    json.Finish(stdout);
  }
  if (found == 0) {
    std::fprintf(stderr, "ostrin: %s: no entry found\n", DisplayPath(drive, path).c_str());
    return EXIT_NOT_FOUND;
  }
  return EXIT_OK;
}

// The tree below a directory, one entry per line, drawn with ASCII lines.
int TreeCommand(const SOptions& options, const SOpenDrive& drive, const WString& path) {
  int exitCode = EXIT_OK;
  const auto top = TopDirectory(options, drive, path, &exitCode);
  if (!top) return exitCode;
  struct SFrame {
    WString directory;
    std::vector<SListedEntry> entries;
    size_t next = 0;
    std::string indent;
  };
  CJsonWriter json;
  const auto open = [&](const WString& directory, std::string indent) -> std::optional<SFrame> {
    auto entries = ReadDirectory(drive, directory, WTEXT("*"));
    if (!entries) return std::nullopt;
    return SFrame{directory, std::move(*entries), 0, std::move(indent)};
  };
  auto root = open(*top, "");
  if (!root) return ReportDriveError(options, drive.letter);
  if (options.json) {
    json.BeginObject();
    json.Key("path");
    json.String(DisplayPath(drive, *top));
    json.Key("children");
    json.BeginArray();
  } else {
    std::printf("%s\n", DisplayPath(drive, *top).c_str());
  }
  std::vector<SFrame> stack;
  stack.push_back(std::move(*root));
  while (!stack.empty()) {
    SFrame& frame = stack.back();
    if (frame.next == frame.entries.size()) {
      stack.pop_back();
      if (options.json) {
        json.EndArray();
        if (!stack.empty()) json.EndObject();
      }
      continue;
    }
    const SListedEntry& entry = frame.entries[frame.next++];
    const bool last = frame.next == frame.entries.size();
    if (options.json) {
      json.BeginObject();
      json.Key("name");
      json.String(Utf8(entry.name));
      json.Key("directory");
      json.Bool(entry.isDirectory);
      if (!entry.isDirectory) {
        json.Key("size");
        json.Number(entry.size);
        json.EndObject();
      }
    } else {
      std::printf("%s%s%s%s\n", frame.indent.c_str(), last ? "\\-- " : "+-- ", Utf8(entry.name).c_str(),
                  entry.isDirectory ? "\\" : "");
    }
    if (!entry.isDirectory) continue;
    auto child = open(frame.directory + entry.name + SEPARATOR, frame.indent + (last ? "    " : "|   "));
    if (!child) return ReportDriveError(options, drive.letter);
    if (options.json) {
      json.Key("children");
      json.BeginArray();
    }
    stack.push_back(std::move(*child));
  }
  if (options.json) {
    json.EndObject();
    json.Finish(stdout);
  }
  return EXIT_OK;
}

// Sizes summed per directory, each directory after the ones below it (as du prints them).
int DuCommand(const SOptions& options, const SOpenDrive& drive, const WString& path) {
  int exitCode = EXIT_OK;
  const auto top = TopDirectory(options, drive, path, &exitCode);
  if (!top) return exitCode;
  struct SFrame {
    WString directory;
    std::vector<WString> subdirectories;
    size_t next = 0;
    uint64_t size = 0;
    uint64_t allocated = 0;
    uint64_t files = 0;
  };
  const auto open = [&](const WString& directory) -> std::optional<SFrame> {
    const auto entries = ReadDirectory(drive, directory, WTEXT("*"));
    if (!entries) return std::nullopt;
    SFrame frame{directory, {}, 0, 0, 0, 0};
    for (const SListedEntry& entry : *entries) {
      if (entry.isDirectory) {
        frame.subdirectories.push_back(directory + entry.name + SEPARATOR);
      } else {
        frame.size += entry.size;
        frame.allocated += entry.allocated;
        ++frame.files;
      }
    }
    return frame;
  };
  CJsonWriter json;
  if (options.json) json.BeginArray();
  std::vector<SFrame> stack;
  auto root = open(*top);
  if (!root) return ReportDriveError(options, drive.letter);
  stack.push_back(std::move(*root));
  while (!stack.empty()) {
    SFrame& frame = stack.back();
    if (frame.next < frame.subdirectories.size()) {
      auto child = open(frame.subdirectories[frame.next++]);
      if (!child) return ReportDriveError(options, drive.letter);
      stack.push_back(std::move(*child));
      continue;
    }
    const SFrame done = std::move(frame);
    stack.pop_back();
    if (options.json) {
      json.BeginObject();
      json.Key("path");
      json.String(DisplayPath(drive, done.directory));
      json.Key("size");
      json.Number(done.size);
      json.Key("allocated");
      json.Number(done.allocated);
      json.Key("files");
      json.Number(done.files);
      json.EndObject();
    } else {
      std::printf("%15llu %15llu  %s\n", static_cast<unsigned long long>(done.size),
                  static_cast<unsigned long long>(done.allocated), DisplayPath(drive, done.directory).c_str());
    }
    if (!stack.empty()) {
      stack.back().size += done.size;
      stack.back().allocated += done.allocated;
      stack.back().files += done.files;
    }
  }
  if (options.json) {
    json.EndArray();
    json.Finish(stdout);
  }
  return EXIT_OK;
}

// Every entry of the drive whose name matches the pattern, a directory's matches before those below it.
int FindCommand(const SOptions& options, const SOpenDrive& drive, const WString& path, const WString& pattern) {
  int exitCode = EXIT_OK;
  const auto top = TopDirectory(options, drive, path, &exitCode);
  if (!top) return exitCode;
  CJsonWriter json;
  if (options.json) json.BeginArray();
  size_t found = 0;
  const bool walked = WalkDirectories(drive, *top, pattern, [&](const WString& directory, const std::vector<SListedEntry>& entries) {
    for (const SListedEntry& entry : entries) {
      ++found;
      if (options.json) {
        WriteEntryJson(json, drive, directory, entry);
      } else {
        std::printf("%s%s\n", DisplayPath(drive, directory + entry.name).c_str(), entry.isDirectory ? "\\" : "");
      }
    }
  });
  if (!walked) return ReportDriveError(options, drive.letter);
  if (options.json) {
    json.EndArray();
    json.Finish(stdout);
  }
  return found == 0 ? EXIT_NOT_FOUND : EXIT_OK;
}

int InfoCommand(const SOptions& options, const SOpenDrive& drive) {
  uint64_t directories = 0;
  uint64_t files = 0;
  uint64_t size = 0;
  uint64_t allocated = 0;
  const bool walked = WalkDirectories(drive, WString(1, SEPARATOR), WTEXT("*"),
                                      [&](const WString&, const std::vector<SListedEntry>& entries) {
    for (const SListedEntry& entry : entries) {
      if (entry.isDirectory) {
        ++directories;
      } else {
        ++files;
        size += entry.size;
        allocated += entry.allocated;
      }
    }
  });
  if (!walked) return ReportDriveError(options, drive.letter);
  const uint64_t imageBytes = OstGetMemoryUsage(drive.index);
  const std::string name = DisplayPath(drive, WString());
  if (options.json) {
    CJsonWriter json;
    json.BeginObject();
    json.Key("drive");
    json.String(name);
    json.Key("imageBytes");
    json.Number(imageBytes);
    json.Key("directories");
    json.Number(directories);
    json.Key("files");
    json.Number(files);
    json.Key("size");
    json.Number(size);
    json.Key("allocated");
    json.Number(allocated);
    json.EndObject();
    json.Finish(stdout);
  } else {
    std::printf("Drive        %s\nImage        %llu bytes\nDirectories  %llu\nFiles        %llu\n"
                "Size         %llu bytes\nAllocated    %llu bytes\n",
                name.c_str(), static_cast<unsigned long long>(imageBytes),
                static_cast<unsigned long long>(directories), static_cast<unsigned long long>(files),
                static_cast<unsigned long long>(size), static_cast<unsigned long long>(allocated));
  }
  return EXIT_OK;
}

// ---- Arguments.

bool ParseArguments(int argc, WCHAR** argv, SOptions* options) {
  int i = 1;
  for (; i < argc; ++i) {
    const std::string argument = Utf8(argv[i]);
    if (argument == "--json") {
      options->json = true;
    } else if (argument == "--progress") {
      options->progress = true;
    } else if (argument == "--no-progress") {
      options->progress = false;
    } else if (!argument.empty() && argument[0] == '-') {
      return false;
    } else {
      break;
    }
  }
  if (i == argc) return false;
  options->command = Utf8(argv[i++]);
  for (; i < argc; ++i) {
    const WString argument = argv[i];
    if (options->command == "ls" && argument.size() > 1 && argument[0] == '-') {
      for (size_t k = 1; k < argument.size(); ++k) {
        if (argument[k] == 'l') {
          options->longFormat = true;
        } else if (argument[k] == 'R') {
          options->recursive = true;
        } else {
          return false;
        }
      }
    } else {
      options->operands.push_back(argument);
    }
  }
  const size_t wanted = options->command == "find" ? 2 : 1;
  const bool known = options->command == "ls" || options->command == "tree" || options->command == "du" ||
                     options->command == "find" || options->command == "info";
  return known && options->operands.size() == wanted;
}

int RunCommand(const SOptions& options, const SOpenDrive& drive, const WString& path) {
  if (options.command == "ls") return ListCommand(options, drive, path);
  if (options.command == "tree") return TreeCommand(options, drive, path);
  if (options.command == "du") return DuCommand(options, drive, path);
  if (options.command == "find") return FindCommand(options, drive, path, options.operands[1]);
  return InfoCommand(options, drive);
}

}  // namespace

int ProgramMain(int argc, WCHAR** argv) {
  ostrin::platform::UseUtf8Output(stdout);
  SOptions options;
  WCHAR letter = 0;
  WString path;
  if (!ParseArguments(argc, argv, &options) || !ParseDrivePath(options.operands[0], &letter, &path)) {
    std::fputs(USAGE, stderr);
    return EXIT_USAGE;
  }
  if (options.command == "info" && path != WString(1, SEPARATOR)) {
    std::fputs(USAGE, stderr);
    return EXIT_USAGE;
  }
  if (OstConnect() == 0) return EXIT_NO_SERVICE;

  ostrin::platform::CatchInterrupts();
  g_drawProgress = options.progress.value_or(ostrin::platform::IsTerminal(stderr));
  std::snprintf(g_progressLabel, sizeof g_progressLabel, "Scanning %s:", Utf8(WString(1, letter)).c_str());
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
    if (OstGetLastError(letter) == 0) {
      // Aborted: by Ctrl-C here, or by the service (it aborts running scans when it stops).
      const bool interrupted = ostrin::platform::InterruptRequested();
      std::fprintf(stderr, "ostrin: the scan of %s: was aborted%s\n", Utf8(WString(1, letter)).c_str(),
                   interrupted ? "" : " by the service");
      exitCode = interrupted ? EXIT_INTERRUPTED : EXIT_SERVICE_ERROR;
    } else {
      exitCode = ReportDriveError(options, letter);
    }
  } else {
    const SOpenDrive drive{static_cast<uint32_t>(index), static_cast<WCHAR>('A' + index)};
    exitCode = RunCommand(options, drive, path);
    OstCloseDrive(drive.index);
  }
  OstDisconnect();
  return exitCode;
}
