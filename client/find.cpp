// OstFindFirstFile, OstFindNextFile and OstFindClose: listings walked in place in a drive's mapped
// image, without a word to the service.
//
// Nothing in the image is trusted. Every block header and entry is checked to lie wholly inside the
// readable part of the view (the image size the service reported, and never more than was mapped),
// names must be at most 255 units and end with their terminator there, and blocks must start on a
// multiple of 8; an image that breaks this stores "Drive image is corrupt." instead of being read
// outside the view (client/image_view.h).
//
// Directory components are looked up through the view's index of subdirectories by name, built the
// first time a path goes through a directory, so a walk of a whole drive costs one pass over each
// directory. Names in the POSIX namespace may differ only in case: a component then takes the entry
// whose name it equals exactly, and otherwise the first equal to it without case.
#include <cstring>
#include <memory>
#include <new>

#include "client/OstrinAPI.h"
#include "client/client_errors.h"
#include "client/client_state.h"
#include "client/image_view.h"
#include "client/wildcard.h"
#include "common/byte_order.h"
#include "index/image_format.h"

struct OstFindHandle {
  uint32_t driveIndex = 0;
  // The last path component; matched against the rest of its directory.
  WString pattern;
  // Offset in the view of the entry after the last match, and the entries of the block from there on.
  uint64_t nextEntry = 0;
  uint64_t remaining = 0;
  // The view the handle was made on: after a close and reopen of the drive it is not read again.
  uint64_t viewGeneration = 0;
};

namespace {

constexpr WCHAR PATH_SEPARATOR = '\\';
constexpr WCHAR DRIVE_SEPARATOR = ':';
constexpr WCHAR ANY_RUN = '*';
constexpr WCHAR ANY_UNIT = '?';
constexpr size_t FIND_NAME_CAPACITY = 260;

bool MatchesPattern(const WString& pattern, const WCHAR* name) {
  return (pattern.size() == 1 && pattern[0] == ANY_RUN) || WildcardMatch(pattern.c_str(), name);
}

void StoreFileTime(uint64_t value, FILETIME* time) {
  time->dwLowDateTime = static_cast<uint32_t>(value);
  time->dwHighDateTime = static_cast<uint32_t>(value >> 32);
}

void FillFindData(const unsigned char* entry, WIN32_FIND_DATAW* data) {
  const uint32_t attributes = READ_FIELD(IMAGE_NODE, attributes, entry);
  const bool isDirectory = (attributes & IMAGE_ATTRIBUTE_DIRECTORY) != 0;
  // A directory's first field is the offset of its block, not a size.
  const uint64_t fileSize = isDirectory ? 0 : READ_FIELD(IMAGE_NODE, sizeOrBlockOffset, entry);
  const uint64_t allocatedSize = isDirectory ? 0 : READ_FIELD(IMAGE_NODE, allocatedSize, entry);
  data->dwFileAttributes = attributes;
  StoreFileTime(READ_FIELD(IMAGE_NODE, creationTime, entry), &data->ftCreationTime);
  StoreFileTime(READ_FIELD(IMAGE_NODE, lastAccessTime, entry), &data->ftLastAccessTime);
  StoreFileTime(READ_FIELD(IMAGE_NODE, lastWriteTime, entry), &data->ftLastWriteTime);
  data->nFileSizeHigh = static_cast<uint32_t>(fileSize >> 32);
  data->nFileSizeLow = static_cast<uint32_t>(fileSize);
  data->dwReserved0 = 0;
  data->dwReserved1 = 0;
  const WCHAR* name = EntryName(entry);
  size_t length = 0;
  while (length + 1 < FIND_NAME_CAPACITY && name[length] != 0) {
    data->cFileName[length] = name[length];
    ++length;
  }
  data->cFileName[length] = 0;
  // The allocated size rides in the alternate name: high word first, then low word.
  const uint32_t allocatedWords[2] = {static_cast<uint32_t>(allocatedSize >> 32), static_cast<uint32_t>(allocatedSize)};
  std::memcpy(data->cAlternateFileName, allocatedWords, sizeof allocatedWords);
}

// The path as the walk uses it: a run of '*' and '?' after a '*' is one '*', and a final "*.*" is '*'.
WString PreparePath(const WCHAR* path) {
  WString prepared;
  for (; *path != 0; ++path) {
    if ((*path == ANY_RUN || *path == ANY_UNIT) && !prepared.empty() && prepared.back() == ANY_RUN) continue;
    prepared.push_back(*path);
  }
  static constexpr WCHAR ANY_NAME[] = {ANY_RUN, '.', ANY_RUN, 0};
  if (prepared.size() >= 3 && prepared.compare(prepared.size() - 3, 3, ANY_NAME) == 0) {
    prepared.resize(prepared.size() - 2);
  }
  return prepared;
}

OstFindHandle* FindFirst(uint32_t driveIndex, const WCHAR* filePath, WIN32_FIND_DATAW* findFileData) {
  DriveRecord& drive = g_Drives[driveIndex];
  drive.ClearError();
  if (drive.view == nullptr) {
    drive.StoreError(CLIENT_DRIVE_NOT_OPEN);
    return nullptr;
  }
  if (filePath == nullptr || filePath[0] == 0) {
    drive.StoreError(CLIENT_PATH_EMPTY);
    return nullptr;
  }
  // "X:\..." names the drive; the letter itself is not compared with the drive's.
  if (filePath[1] == DRIVE_SEPARATOR && filePath[2] == PATH_SEPARATOR) filePath += 2;
  if (filePath[0] != PATH_SEPARATOR) {
    drive.StoreError(CLIENT_PATH_NO_BACKSLASH);
    return nullptr;
  }
  const WString path = PreparePath(filePath);
  if (findFileData == nullptr) {
    drive.StoreError(CLIENT_FIND_DATA_NULL);
    return nullptr;
  }
  if (path.size() == 1) return nullptr;

  const CImage image{drive.view, drive.readableSize};
  if (drive.directories == nullptr) drive.directories = std::make_unique<CDirectoryCache>();
  uint64_t block = 0;
  for (size_t i = 1;;) {
    size_t end = path.find(PATH_SEPARATOR, i);
    if (end == WString::npos) end = path.size();
    if (end == i) {
      drive.StoreError(CLIENT_PATH_MALFORMED);
      return nullptr;
    }
    const bool separatorFollows = end < path.size();
    const WCHAR* component = path.data() + i;
    const size_t componentLength = end - i;
    i = separatorFollows ? end + 1 : end;

    CEntryRun run;
    const unsigned char* match = nullptr;
    EScan found = EScan::Corrupt;
    if (i < path.size()) {
      // More of the path follows: the component names a subdirectory, looked up by name.
      found = drive.directories->FindSubdirectory(image, block, component, componentLength, &match);
      if (found == EScan::NoMatch) {
        // The component may name a file, which no path goes through.
        found = FindNamedEntry(image, block, component, componentLength, &run, &match);
        if (found == EScan::Match) {
          drive.StoreError(CLIENT_INVALID_PATH);
          return nullptr;
        }
      }
      if (found == EScan::Match) {
        block = DirectoryBlockOf(match);
        continue;
      }
    } else if (separatorFollows) {
      // "\dir\": the entry the component names itself; the handle goes on with it as a pattern.
      found = FindNamedEntry(image, block, component, componentLength, &run, &match);
    } else if (BlockEntries(image, block, &run)) {
      // The last component is a pattern (it ends up in the handle).
      const WString pattern(component, componentLength);
      found = ScanEntries(image, run, [&](const WCHAR* name) { return MatchesPattern(pattern, name); }, &match);
    }
    if (found == EScan::Corrupt) {
      drive.StoreError(CLIENT_IMAGE_CORRUPT);
      return nullptr;
    }
    if (found == EScan::NoMatch) return nullptr;
    FillFindData(match, findFileData);
    auto handle = std::make_unique<OstFindHandle>();
    handle->driveIndex = driveIndex;
    handle->pattern.assign(component, componentLength);
    handle->nextEntry = run.next;
    handle->remaining = run.remaining;
    handle->viewGeneration = drive.viewGeneration;
    return handle.release();
  }
}

}  // namespace

extern "C" {

OSTRIN_API OST_FIND_HANDLE OstFindFirstFile(uint32_t driveIndex, const WCHAR* filePath,
                                            WIN32_FIND_DATAW* findFileData) {
  if (driveIndex >= DRIVE_COUNT) return nullptr;
  try {
    return FindFirst(driveIndex, filePath, findFileData);
  } catch (const std::bad_alloc&) {
    return nullptr;  // the copy of the path or the handle could not be allocated
  }
}

OSTRIN_API int32_t OstFindNextFile(OST_FIND_HANDLE handle, WIN32_FIND_DATAW* findFileData) {
  if (handle == nullptr) return 0;
  DriveRecord& drive = g_Drives[handle->driveIndex];
  drive.ClearError();
  if (drive.view == nullptr || drive.viewGeneration != handle->viewGeneration) {
    drive.StoreError(CLIENT_DRIVE_NOT_OPEN);
    return 0;
  }
  if (findFileData == nullptr) {
    drive.StoreError(CLIENT_FIND_DATA_NULL);
    return 0;
  }
  if (handle->remaining == 0) return 0;
  const CImage image{drive.view, drive.readableSize};
  CEntryRun run{handle->nextEntry, handle->remaining};
  const unsigned char* match = nullptr;
  switch (ScanEntries(image, run, [&](const WCHAR* name) { return MatchesPattern(handle->pattern, name); }, &match)) {
    case EScan::Match:
      FillFindData(match, findFileData);
      handle->nextEntry = run.next;
      handle->remaining = run.remaining;
      return 1;
    case EScan::Corrupt:
      drive.StoreError(CLIENT_IMAGE_CORRUPT);
      return 0;
    case EScan::NoMatch:
      break;
  }
  return 0;
}

OSTRIN_API void OstFindClose(OST_FIND_HANDLE handle) { delete handle; }

}  // extern "C"
