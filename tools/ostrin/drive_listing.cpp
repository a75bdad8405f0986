// Directory listings through the public OstrinAPI functions.
#include "tools/ostrin/drive_listing.h"

#include <algorithm>
#include <cstring>

#include "common/upcase.h"
#include "common/text.h"

namespace {

constexpr WCHAR SEPARATOR = '\\';

uint64_t FileTimeValue(const FILETIME& time) {
  return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

}  // namespace

SListedEntry EntryOfFindData(const WIN32_FIND_DATAW& data) {
  SListedEntry entry;
  for (const WCHAR* unit = data.cFileName; *unit != 0; ++unit) entry.name.push_back(*unit);
  entry.attributes = data.dwFileAttributes;
  entry.isDirectory = (data.dwFileAttributes & 0x10) != 0;
  entry.size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  // OstrinAPI passes the allocated size in the alternate name: high 32 bits first.
  uint32_t allocatedWords[2];
  std::memcpy(allocatedWords, data.cAlternateFileName, sizeof allocatedWords);
  entry.allocated = (static_cast<uint64_t>(allocatedWords[0]) << 32) | allocatedWords[1];
  entry.lastWriteTime = FileTimeValue(data.ftLastWriteTime);
  entry.creationTime = FileTimeValue(data.ftCreationTime);
  entry.lastAccessTime = FileTimeValue(data.ftLastAccessTime);
  return entry;
}

std::optional<std::vector<SListedEntry>> ReadDirectory(const SOpenDrive& drive, const WString& directory,
                                                       const WString& pattern) {
  const WString path = directory + pattern;
  std::vector<SListedEntry> entries;
  WIN32_FIND_DATAW data{};
  OST_FIND_HANDLE find = OstFindFirstFile(drive.index, path.c_str(), &data);
  if (find == nullptr) {
    if (OstGetLastError(drive.letter) != 0) return std::nullopt;
    return entries;
  }
  do {
    entries.push_back(EntryOfFindData(data));
  } while (OstFindNextFile(find, &data) != 0);
  OstFindClose(find);
  if (OstGetLastError(drive.letter) != 0) return std::nullopt;
  return entries;
}

namespace {

// Names compared without case, as the library compares them, in the order NTFS collates names in its
// directory indexes (by upper-cased units): negative, 0 or positive as a is before, like or after b.
int CompareUpcased(const WString& a, const WString& b) {
  const size_t common = std::min(a.size(), b.size());
  for (size_t i = 0; i < common; ++i) {
    const WCHAR unitA = UpcaseUnit(a[i]);
    const WCHAR unitB = UpcaseUnit(b[i]);
    if (unitA != unitB) return unitA < unitB ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

}  // namespace

bool ComesBefore(const SListedEntry& a, const SListedEntry& b, ESortKey key) {
  if (key == ESortKey::Size && a.size != b.size) return a.size > b.size;
  if (key == ESortKey::Time && a.lastWriteTime != b.lastWriteTime) return a.lastWriteTime > b.lastWriteTime;
  const int upcased = CompareUpcased(a.name, b.name);
  return upcased != 0 ? upcased < 0 : a.name < b.name;
}

std::optional<SResolvedPath> ResolvePath(const SOpenDrive& drive, const WString& path) {
  SResolvedPath resolved;
  resolved.kind = SResolvedPath::EKind::Directory;
  resolved.path = WString(1, SEPARATOR);
  for (size_t start = 1; start < path.size();) {
    size_t end = path.find(SEPARATOR, start);
    if (end == WString::npos) end = path.size();
    const WString name = path.substr(start, end - start);
    start = end + 1;
    const auto found = ReadDirectory(drive, resolved.path, name);
    if (!found) return std::nullopt;
    if (found->empty()) {
      resolved.kind = SResolvedPath::EKind::Missing;
      resolved.path += name;
      resolved.complete = start >= path.size();
      resolved.entry.reset();
      return resolved;
    }
    resolved.entry = found->front();
    resolved.path += found->front().name;
    if (!found->front().isDirectory) {
      resolved.kind = SResolvedPath::EKind::File;
      resolved.complete = start >= path.size();
      return resolved;
    }
    resolved.path.push_back(SEPARATOR);
  }
  return resolved;
}

SDriveError LastDriveError(WCHAR letter) {
  SDriveError error;
  error.code = OstGetLastError(letter);
  const int32_t size = OstGetLastErrorString(letter, nullptr, 0);
  if (size > 1) {
    error.text.assign(static_cast<size_t>(size), 0);
    OstGetLastErrorString(letter, error.text.data(), static_cast<uint32_t>(size));
    error.text.resize(static_cast<size_t>(size) - 1);
  }
  return error;
}
