// Directory listings of an open drive read through the public OstrinAPI functions.
#pragma once

#include <OstrinAPI.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/types.h"

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

// The drive's last error, as the library stores it.
struct SDriveError {
  int32_t code = 0;
  WString text;
};
SDriveError LastDriveError(WCHAR letter);
