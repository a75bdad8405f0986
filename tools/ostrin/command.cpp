// What ostrin's commands share: failures, paths, and the walk of the directories below one.
#include "tools/ostrin/command.h"

#include <cstdio>

#include "common/text.h"
#include "platform/system_error.h"
#include "platform/volume_device.h"

std::string DriveName(WCHAR letter) { return WideToUtf8(WString(1, letter)) + ":"; }

std::string DisplayPath(const SOpenDrive& drive, const WString& path) {
  return WideToUtf8(WString(1, drive.letter) + WTEXT(":") + path);
}

WString EntryPath(const WString& directory, const SListedEntry& entry) {
  return directory + entry.name + (entry.isDirectory ? WString(1, SEPARATOR) : WString());
}

int ExitCodeOf(int32_t code) {
  if (code >= 2000 && code < 3000) return EXIT_SERVICE_ERROR;
  if (code > 0 && code < 1000) return EXIT_VOLUME_ERROR;
  return EXIT_CLIENT_ERROR;
}

int PathFailure(const SCommand& command, const std::string& message, int exitCode) {
  command.output.Error(command.drive.letter, std::nullopt, message);
  command.run.failed = true;
  std::fprintf(stderr, "ostrin: %s\n", message.c_str());
  return exitCode;
}

namespace {

// Whether the service could not open the volume because no volume.X key maps the letter: on Linux
// the service then fails with "Open volume error." and the system's text for "not found".
bool IsUnmappedLetter(const SDriveError& error) {
  if (!ostrin::platform::DriveLettersNeedMapping() || error.code != OSTRIN_ERROR_OPEN_VOLUME) return false;
  const WString notFound = ostrin::platform::SystemErrorText(ostrin::platform::ErrorNotFound());
  return !notFound.empty() && error.text.size() >= notFound.size() &&
         error.text.compare(error.text.size() - notFound.size(), notFound.size(), notFound) == 0;
}

}  // namespace

int ReportDriveError(const SOptions& /*options*/, COutput& output, WCHAR letter) {
  const SDriveError error = LastDriveError(letter);
  // A system text may end with a line break (an older service passed on FormatMessage's).
  std::string text = WideToUtf8(error.text);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
  output.Error(letter, error.code, text);
  std::fprintf(stderr, "ostrin: %s error %d: %s\n", DriveName(letter).c_str(), error.code, text.c_str());
  if (IsUnmappedLetter(error)) {
    const std::string upper = WideToUtf8(WString(1, AsciiUpper(letter)));
    std::fprintf(stderr,
                 "ostrin: the service has no volume for %s. On Linux a drive letter is a line 'volume.%s = <block "
                 "device or image file>' in OstrinNT.ini, in the service's folder (and that file must exist)\n",
                 DriveName(letter).c_str(), upper.c_str());
  }
  return ExitCodeOf(error.code);
}

int ReportDriveError(const SCommand& command) {
  command.run.failed = true;
  return ReportDriveError(command.options, command.output, command.drive.letter);
}

const char* CEnterableDirectories::WhyNotEnterable(const SListedEntry& entry) {
  if (entry.name.find(SEPARATOR) != WString::npos) return "its name holds a backslash";
  if (!m_names.insert(entry.name).second) return "another directory of its name comes first";
  return nullptr;
}

int CNotEntered::Report(COutput& output) const {
  for (const SNotEntered& directory : m_directories) {
    std::fprintf(stderr, "ostrin: %s: cannot be entered by path (%s)\n", directory.path.c_str(), directory.why);
  }
  output.NotEntered(m_directories);
  return m_directories.empty() ? EXIT_OK : EXIT_NOT_ENTERED;
}

std::optional<std::vector<SListedEntry>> ReadSorted(const SOptions& options, const SOpenDrive& drive,
                                                    const WString& directory, const WString& pattern) {
  auto entries = ReadDirectory(drive, directory, pattern);
  if (entries) SortEntries(*entries, options.sort, options.reverse);
  return entries;
}

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

std::optional<SResolvedPath> Resolve(const SCommand& command, const WString& path, int* exitCode) {
  auto resolved = ResolvePath(command.drive, path);
  if (!resolved) *exitCode = ReportDriveError(command);
  return resolved;
}

int FileInTheWay(const SCommand& command, const SResolvedPath& resolved) {
  const std::string file = DisplayPath(command.drive, resolved.path);
  return PathFailure(command,
                     resolved.complete ? file + " is a file, not a directory"
                                       : file + " is a file: a path cannot go on below it",
                     EXIT_USAGE);
}

std::optional<SResolvedPath> ResolveDirectory(const SCommand& command, const WString& path, int* exitCode,
                                              bool nameFollows) {
  auto resolved = Resolve(command, path, exitCode);
  if (!resolved) return std::nullopt;
  if (nameFollows) resolved->complete = false;
  switch (resolved->kind) {
    case SResolvedPath::EKind::Directory:
      return resolved;
    case SResolvedPath::EKind::File:
      *exitCode = FileInTheWay(command, *resolved);
      return std::nullopt;
    case SResolvedPath::EKind::Missing:
      *exitCode = PathFailure(command, DisplayPath(command.drive, resolved->path) + ": no such directory",
                              EXIT_NOT_FOUND);
      return std::nullopt;
  }
  return std::nullopt;
}
