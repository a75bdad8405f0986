// ostrin find: every entry below a directory whose name matches the pattern, a directory's matches
// before those below it.
#include "tools/ostrin/command.h"

int FindCommand(const SCommand& command, const WString& path, const WString& pattern) {
  const SOptions& options = command.options;
  int exitCode = EXIT_OK;
  const auto top = ResolveDirectory(command, path, &exitCode);
  if (!top) return exitCode;
  size_t found = 0;
  const bool walked = WalkDirectories(options, command.drive, top->path, pattern,
                                      [&](const WString& directory, const std::vector<SListedEntry>& entries) {
    for (const SListedEntry& entry : entries) {
      if (options.findDirectories && entry.isDirectory != *options.findDirectories) continue;
      ++found;
      command.output.Entry(DisplayPath(command.drive, EntryPath(directory, entry)), &entry);
    }
  }, command.notEntered);
  if (!walked) return ReportDriveError(command);
  return found == 0 ? EXIT_NOT_FOUND : EXIT_OK;
}
