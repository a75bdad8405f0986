// ostrin du: sizes summed per directory, each directory after the ones below it (as du prints them);
// -s and --max-depth N print only the directories near the top, and every directory is summed.
#include "tools/ostrin/command.h"

int UsageCommand(const SCommand& command, const WString& topPath) {
  const SOptions& options = command.options;
  int exitCode = EXIT_OK;
  const auto top = ResolveDirectory(command, topPath, &exitCode);
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
  WString path = top->path;
  const auto read = [&](size_t index) {
    const auto entries = ReadDirectory(command.drive, path, ALL_ENTRIES);
    if (!entries) return false;
    CEnterableDirectories enterable;
    for (const SListedEntry& entry : *entries) {
      nodes[index].totals.Add(entry);
      if (!entry.isDirectory) continue;
      if (const char* why = enterable.WhyNotEnterable(entry)) {
        command.notEntered.Add(command.drive, EntryPath(path, entry), why);
        continue;
      }
      nodes[index].children.push_back(nodes.size());
      nodes.push_back(SNode{entry, {}, {}});
    }
    return true;
  };
  // Walks the nodes depth first, path the directory's path all along: enter(node, depth) when the
  // walk comes to it, leave(node, depth) after everything below it.
  const auto walk = [&](const std::function<bool(size_t, size_t)>& enter,
                        const std::function<void(size_t, size_t)>& leave) {
    if (!enter(0, 0)) return false;
    std::vector<std::pair<size_t, size_t>> stack{{0, 0}};  // node, its next child
    while (!stack.empty()) {
      const auto [index, next] = stack.back();
      if (next < nodes[index].children.size()) {
        ++stack.back().second;
        const size_t child = nodes[index].children[next];
        path += nodes[child].entry.name;
        path.push_back(SEPARATOR);
        if (!enter(child, stack.size())) return false;
        stack.emplace_back(child, 0);
        continue;
      }
      leave(index, stack.size() - 1);
      stack.pop_back();
      if (!stack.empty()) path.resize(path.size() - nodes[index].entry.name.size() - 1);
    }
    return true;
  };
  // Every child comes after its parent in nodes.
  if (!walk([&](size_t index, size_t) { return read(index); }, [](size_t, size_t) {})) {
    return ReportDriveError(command);
  }
  // Children first: each one's sums are complete before its parent's take them.
  for (size_t index = nodes.size(); index-- > 0;) {
    for (const size_t child : nodes[index].children) nodes[index].totals.Add(nodes[child].totals);
    nodes[index].entry.size = nodes[index].totals.size;
  }
  for (SNode& node : nodes) {
    SortItems(node.children, options.sort, options.reverse,
              [&](size_t child) -> const SListedEntry& { return nodes[child].entry; });
  }
  // Post-order: a directory after everything below it; with --max-depth only those near the top.
  path = top->path;
  walk([](size_t, size_t) { return true; }, [&](size_t index, size_t depth) {
    if (!options.maxDepth || depth <= *options.maxDepth) {
      command.output.Usage(DisplayPath(command.drive, path), nodes[index].totals);
    }
  });
  command.run.totals.Add(nodes[0].totals);
  return EXIT_OK;
}
