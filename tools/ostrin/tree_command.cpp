// ostrin tree: the tree below a directory, each directory's entries sorted; with -d only the
// directories, with -L N no deeper than N levels.
#include "tools/ostrin/command.h"

int TreeCommand(const SCommand& command, const WString& path) {
  const SOptions& options = command.options;
  int exitCode = EXIT_OK;
  const auto top = ResolveDirectory(command, path, &exitCode);
  if (!top) return exitCode;
  // One path that grows and shrinks with the walk: memory grows with the depth.
  struct SFrame {
    std::vector<SListedEntry> entries;      // those drawn
    std::vector<const char*> notEnterable;  // per entry: why a path cannot enter it, or nothing
    size_t next = 0;
    size_t pathLength = 0;  // of the directory's path
  };
  WString directory = top->path;
  const auto open = [&]() -> std::optional<SFrame> {
    auto entries = ReadSorted(options, command.drive, directory, ALL_ENTRIES);
    if (!entries) return std::nullopt;
    CEnterableDirectories enterable;
    SFrame frame;
    frame.pathLength = directory.size();
    for (SListedEntry& entry : *entries) {
      // Every directory is asked, drawn or not: of two of one name only the first is entered.
      const char* why = entry.isDirectory ? enterable.WhyNotEnterable(entry) : nullptr;
      if (options.directoriesOnly && !entry.isDirectory) continue;
      frame.entries.push_back(std::move(entry));
      frame.notEnterable.push_back(why);
    }
    return frame;
  };
  auto root = open();
  if (!root) return ReportDriveError(command);
  command.output.TreeTop(DisplayPath(command.drive, top->path), top->entry ? &*top->entry : nullptr);
  std::vector<SFrame> stack;
  stack.push_back(std::move(*root));
  while (!stack.empty()) {
    SFrame& frame = stack.back();
    directory.resize(frame.pathLength);
    if (frame.next == frame.entries.size()) {
      stack.pop_back();
      command.output.LeaveDirectory();
      continue;
    }
    const char* notEnterable = frame.notEnterable[frame.next];
    const SListedEntry& entry = frame.entries[frame.next++];
    const bool last = frame.next == frame.entries.size();
    const WString entryPath = EntryPath(directory, entry);
    command.run.totals.Add(entry);
    // -L N: the entries of the directories N - 1 levels below the top are the last drawn.
    const bool deepest = options.levels && stack.size() >= *options.levels;
    const bool enters = entry.isDirectory && notEnterable == nullptr && !deepest;
    command.output.TreeEntry(DisplayPath(command.drive, entryPath), entry, last, enters);
    if (entry.isDirectory && notEnterable != nullptr) command.notEntered.Add(command.drive, entryPath, notEnterable);
    if (!enters) continue;
    directory = entryPath;
    auto child = open();
    if (!child) return ReportDriveError(command);
    stack.push_back(std::move(*child));
  }
  return EXIT_OK;
}
