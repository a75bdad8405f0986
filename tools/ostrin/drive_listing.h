// Directory listings of an open drive read through the public OstrinAPI functions.
#pragma once

#include <OstrinAPI.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/types.h"
#include "tools/ostrin/command_line.h"

// One entry as the find functions report it.
struct SListedEntry {
  WString name;
  bool isDirectory = false;
  uint32_t attributes = 0;
  uint64_t size = 0;
  uint64_t allocated = 0;
  uint64_t lastWriteTime = 0;
  uint64_t creationTime = 0;
  uint64_t lastAccessTime = 0;
};

SListedEntry EntryOfFindData(const WIN32_FIND_DATAW& data);

// A drive opened by OstOpenDrive.
struct SOpenDrive {
  uint32_t index = 0;
  WCHAR letter = 0;  // upper case
};

// The entries of a directory that match a pattern, in image order. directory is "\" or "\a\b\"
// (ending with a backslash). Nothing (with the drive's last error set) when the find failed; an empty
// list when nothing matched.
std::optional<std::vector<SListedEntry>> ReadDirectory(const SOpenDrive& drive, const WString& directory,
                                                       const WString& pattern);

// Whether a comes before b in the order of the key: by its key, then by name without case (its units
// upper-cased as NTFS does), then by the exact units (so names that differ only in case keep one order).
bool ComesBefore(const SListedEntry& a, const SListedEntry& b, ESortKey key);

// Puts items in the order of the key of their entries (entryOf(item)), reversed on request; the
// order None keeps the image's order (or reverses it).
template <typename Item, typename EntryOf>
void SortItems(std::vector<Item>& items, ESortKey key, bool reverse, const EntryOf& entryOf) {
  if (key != ESortKey::None) {
    std::stable_sort(items.begin(), items.end(),
                     [&](const Item& a, const Item& b) { return ComesBefore(entryOf(a), entryOf(b), key); });
  }
  if (reverse) std::reverse(items.begin(), items.end());
}

inline void SortEntries(std::vector<SListedEntry>& entries, ESortKey key, bool reverse) {
  SortItems(entries, key, reverse, [](const SListedEntry& entry) -> const SListedEntry& { return entry; });
}

// What a path from the root names, found one name at a time from the root.
struct SResolvedPath {
  enum class EKind {
    Directory,  // path is the directory, "\" or "\a\b\" with the names as the drive stores them
    File,       // path is the file, "\a\f"
    Missing,    // path is the first name that does not exist, "\a\missing"
  } kind = EKind::Missing;
  WString path;
  // False when the path goes on after what path names (a file, or a name that does not exist).
  bool complete = true;
  // The entry of the last name found; none for the root.
  std::optional<SListedEntry> entry;
};

// Resolves "\", "\a\b" or "\a\b\" (no wildcards, no empty names). Nothing, with the drive's last
// error set, when a find failed.
std::optional<SResolvedPath> ResolvePath(const SOpenDrive& drive, const WString& path);

// The drive's last error, as the library stores it.
struct SDriveError {
  int32_t code = 0;
  WString text;
};
SDriveError LastDriveError(WCHAR letter);
