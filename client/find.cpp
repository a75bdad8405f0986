// OstFindFirstFile, OstFindNextFile and OstFindClose: listings walked in place in a drive's mapped
// image, without a word to the service.
//
// Nothing in the image is trusted: the image reader (index/image_reader.h) checks every block header and
// entry against the readable part of the view (the image size the service reported, and never more
// than was mapped), and an image that breaks its layout stores "Drive image is corrupt." instead of
// being read outside the view.
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
#include "index/image_reader.h"

struct OstFindHandle {
  uint32_t driveIndex = 0;
  // The last path component; matched against the rest of its directory.
  WString pattern;
  // The entries of the block after the last match.
  CImageBlockCursor rest;
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

void FillFindData(const CImageNode& entry, WIN32_FIND_DATAW* data) {
  const uint64_t fileSize = entry.FileSize();
  const uint64_t allocatedSize = entry.IsDirectory() ? 0 : entry.AllocatedSize();
  data->dwFileAttributes = entry.Attributes();
  StoreFileTime(entry.CreationTime(), &data->ftCreationTime);
  StoreFileTime(entry.LastAccessTime(), &data->ftLastAccessTime);
  StoreFileTime(entry.LastWriteTime(), &data->ftLastWriteTime);
  data->nFileSizeHigh = static_cast<uint32_t>(fileSize >> 32);
  data->nFileSizeLow = static_cast<uint32_t>(fileSize);
  data->dwReserved0 = 0;
  data->dwReserved1 = 0;
  // Up to the first 0 unit: the reader has found the terminator within 255 units.
  const WCHAR* name = entry.Name();
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

// The path as the walk uses it: in the last component (the pattern) a run of '*' and '?' after a '*'
// is one '*', and a final "*.*" is '*'. The components before it are names, kept as they are: NTFS
// names may hold '*' and '?' (volumes written from Linux have them).
WString PreparePath(const WCHAR* path) {
  WString prepared(path);
  const size_t lastSeparator = prepared.rfind(PATH_SEPARATOR);
  const size_t patternStart = lastSeparator == WString::npos ? 0 : lastSeparator + 1;
  size_t kept = patternStart;
  for (size_t i = patternStart; i < prepared.size(); ++i) {
    const WCHAR unit = prepared[i];
    if ((unit == ANY_RUN || unit == ANY_UNIT) && kept > patternStart && prepared[kept - 1] == ANY_RUN) continue;
    prepared[kept++] = unit;
  }
  prepared.resize(kept);
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

  const CImageView image(drive.view, drive.readableSize);
  if (drive.directories == nullptr) drive.directories = std::make_unique<CDirectoryCache>();
  // The names before the last one are directories; the walk goes on from the deepest of them that the
  // last find resolved.
  const size_t lastName = path.rfind(PATH_SEPARATOR, path.size() - (path.back() == PATH_SEPARATOR ? 2 : 1));
  CDirectoryCache::CLastPath& lastPath = drive.directories->LastPath();
  uint64_t block = 0;
  for (size_t i = lastPath.Resume(path, lastName + 1, &block);;) {
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

    CImageBlockCursor run;
    CImageNode match;
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
        block = match.BlockOffset();
        lastPath.Enter(path, i, block);
        continue;
      }
    } else if (separatorFollows) {
      // "\dir\": the entry the component names itself; the handle goes on with it as a pattern.
      found = FindNamedEntry(image, block, component, componentLength, &run, &match);
    } else if (image.OpenBlock(block, &run)) {
      // The last component is a pattern (it ends up in the handle).
      const WString pattern(component, componentLength);
      found = ScanEntries(run, [&](const WCHAR* name) { return MatchesPattern(pattern, name); }, &match);
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
    handle->rest = run;
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
  if (handle->rest.Remaining() == 0) return 0;
  // The handle moves on only past a match: without one every later call examines the same entries.
  CImageBlockCursor run = handle->rest;
  CImageNode match;
  switch (ScanEntries(run, [&](const WCHAR* name) { return MatchesPattern(handle->pattern, name); }, &match)) {
    case EScan::Match:
      FillFindData(match, findFileData);
      handle->rest = run;
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
