// Directory listings through the public OstrinAPI functions.
#include "tools/ostrin/drive_listing.h"

#include <cstring>

namespace {

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
