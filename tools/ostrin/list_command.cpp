// ostrin ls: the entries of a directory, the one file a path names, or what a pattern matches; with
// -R each directory below too, with -d a directory itself.
#include "tools/ostrin/command.h"

#include <cstdio>

namespace {

bool ListsWholeDirectory(const WString& pattern) { return pattern == ALL_ENTRIES || pattern == WTEXT("*.*"); }

// ls -d of a directory: its own entry (the root has none).
int ListDirectoryItself(const SCommand& command, const SResolvedPath& resolved) {
  command.output.Directory(DisplayPath(command.drive, resolved.path));
  if (resolved.entry) command.run.totals.Add(*resolved.entry);
  command.output.Entry(DisplayPath(command.drive, resolved.path), resolved.entry ? &*resolved.entry : nullptr);
  return EXIT_OK;
}

}  // namespace

int ListCommand(const SCommand& command, const WString& path) {
  const SOptions& options = command.options;
  int exitCode = EXIT_OK;
  WString directory;
  WString pattern;
  const size_t split = path.rfind(SEPARATOR);
  const WString lastName = path.substr(split + 1);
  if (lastName.find_first_of(WTEXT("*?")) != WString::npos) {
    const auto parent = ResolveDirectory(command, path.substr(0, split + 1), &exitCode, true);
    if (!parent) return exitCode;
    directory = parent->path;
    pattern = lastName;
  } else {
    // A name lists the directory it names, or the one file.
    const auto resolved = Resolve(command, path, &exitCode);
    if (!resolved) return exitCode;
    if (resolved->kind == SResolvedPath::EKind::Missing) {
      const bool directoryMissing = !resolved->complete || path.back() == SEPARATOR;
      return PathFailure(command,
                         DisplayPath(command.drive, resolved->path) +
                             (directoryMissing ? ": no such directory" : ": no such file or directory"),
                         EXIT_NOT_FOUND);
    }
    if (resolved->kind == SResolvedPath::EKind::File) {
      if (!resolved->complete || path.back() == SEPARATOR) return FileInTheWay(command, *resolved);
      const size_t fileSplit = resolved->path.rfind(SEPARATOR);
      directory = resolved->path.substr(0, fileSplit + 1);
      pattern = resolved->path.substr(fileSplit + 1);
    } else if (options.directoriesOnly) {
      return ListDirectoryItself(command, *resolved);
    } else {
      directory = resolved->path;
      pattern = ALL_ENTRIES;
    }
  }

  size_t found = 0;
  const auto list = [&](const WString& listed, const std::vector<SListedEntry>& entries) {
    found += entries.size();
    command.output.Directory(DisplayPath(command.drive, listed));
    for (const SListedEntry& entry : entries) {
      command.run.totals.Add(entry);
      command.output.Entry(DisplayPath(command.drive, EntryPath(listed, entry)), &entry);
    }
  };
  bool listed = true;
  if (options.recursive && !options.directoriesOnly) {
    listed = WalkDirectories(options, command.drive, directory, pattern, list, command.notEntered);
  } else if (const auto entries = ReadSorted(options, command.drive, directory, pattern)) {
    list(directory, *entries);
  } else {
    listed = false;
  }
  if (!listed) return ReportDriveError(command);
  if (found == 0 && !ListsWholeDirectory(pattern)) {
    std::fprintf(stderr, "ostrin: %s: no entry matches\n", DisplayPath(command.drive, directory + pattern).c_str());
    return EXIT_NOT_FOUND;
  }
  return EXIT_OK;
}
