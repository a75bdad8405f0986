// Device stamps on Windows: the identity, size and times of an image file; a drive letter's own
// volume device has none of its own (its change journal tells).
#include "platform/device_stamp.h"

#include <windows.h>

#include "platform/text.h"
#include "platform/win32/unique_handle.h"

namespace ostrin::platform {

namespace {

// FILETIME (100 ns since 1601) to nanoseconds since 1970.
constexpr int64_t EPOCH_DIFFERENCE_100NS = 116444736000000000LL;
constexpr int64_t NS_PER_SECOND = 1000000000;

int64_t Nanoseconds(int64_t fileTime) { return (fileTime - EPOCH_DIFFERENCE_100NS) * 100; }

int64_t FileTimeValue(const FILETIME& time) {
  return static_cast<int64_t>((static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime);
}

}  // namespace

CDeviceStamp ReadDeviceStamp(WCHAR /*letter*/, const std::string& mappedPath) {
  CDeviceStamp stamp;
  // A letter's own device, or a device named by its path ("\\.\PhysicalDrive1", "\\?\Volume{...}"):
  // the identity and times of a device say nothing of what is written on it.
  if (mappedPath.empty() || mappedPath.rfind("\\\\.\\", 0) == 0 || mappedPath.rfind("\\\\?\\Volume{", 0) == 0) {
    stamp.kind = EDeviceKind::VolumeDevice;
    stamp.settled = true;
    return stamp;
  }
  const WString path = Utf8ToWide(mappedPath);
  // No access to the data: the attributes only, whoever has the file open for writing.
  const UniqueHandle file(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!file.IsValid() || GetFileType(file.Get()) != FILE_TYPE_DISK) return stamp;
  BY_HANDLE_FILE_INFORMATION information = {};
  if (!GetFileInformationByHandle(file.Get(), &information) ||
      (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return stamp;
  }
  FILETIME now = {};
  GetSystemTimeAsFileTime(&now);
  stamp.kind = EDeviceKind::File;
  stamp.device = information.dwVolumeSerialNumber;
  stamp.file = (static_cast<uint64_t>(information.nFileIndexHigh) << 32) | information.nFileIndexLow;
  stamp.size = (static_cast<uint64_t>(information.nFileSizeHigh) << 32) | information.nFileSizeLow;
  stamp.modifiedNs = Nanoseconds(FileTimeValue(information.ftLastWriteTime));
  // The change time where the file system keeps one; the modification time stands in elsewhere.
  FILE_BASIC_INFO basic = {};
  stamp.changedNs = GetFileInformationByHandleEx(file.Get(), FileBasicInfo, &basic, sizeof basic)
                        ? Nanoseconds(basic.ChangeTime.QuadPart)
                        : stamp.modifiedNs;
  const int64_t latest = stamp.modifiedNs > stamp.changedNs ? stamp.modifiedNs : stamp.changedNs;
  stamp.settled = Nanoseconds(FileTimeValue(now)) - latest >= NS_PER_SECOND;
  return stamp;
}

}  // namespace ostrin::platform
