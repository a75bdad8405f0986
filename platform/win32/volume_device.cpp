// Volume device on Windows: "\\.\X:" (or a "volume.X" image file), read with positioned ReadFile in
// whole sectors of the device's logical sector size.
#include "platform/volume_device.h"

#include <windows.h>
#include <winioctl.h>

#include "platform/text.h"
#include "platform/volume_device_system.h"
#include "platform/win32/unique_handle.h"

namespace ostrin::platform {

struct CDeviceFile {
  UniqueHandle handle;
};

bool ReadDeviceFile(const CDeviceFile& file, uint64_t offset, void* buffer, size_t length, size_t* bytesRead) {
  auto* out = static_cast<unsigned char*>(buffer);
  // Pieces of at most 1 GiB, a whole number of sectors of every size.
  while (*bytesRead < length) {
    const uint64_t position = offset + *bytesRead;
    OVERLAPPED where = {};
    where.Offset = static_cast<DWORD>(position);
    where.OffsetHigh = static_cast<DWORD>(position >> 32);
    const size_t remaining = length - *bytesRead;
    const DWORD ask = remaining > 0x40000000 ? 0x40000000 : static_cast<DWORD>(remaining);
    DWORD got = 0;
    if (!ReadFile(file.handle.Get(), out + *bytesRead, ask, &got, &where)) {
      if (GetLastError() == ERROR_HANDLE_EOF) break;
      return false;
    }
    if (got == 0) break;  // end of the volume
    *bytesRead += got;
  }
  return true;
}

uint32_t ErrorUnalignedRead() { return ERROR_INVALID_PARAMETER; }
uint32_t ErrorDeviceNotOpen() { return ERROR_INVALID_HANDLE; }

namespace {

// What a device is read in when it does not say: a multiple of every logical sector size there is.
constexpr uint32_t UNREPORTED_SECTOR_SIZE = 4096;

HANDLE OpenReadOnly(const wchar_t* path) {
  return CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                     FILE_ATTRIBUTE_READONLY, nullptr);
}

bool IsSectorSize(DWORD bytes) { return bytes >= 512 && bytes <= 65536 && (bytes & (bytes - 1)) == 0; }

// The logical sector size a device reports, or 0 (a file, or a device that does not say).
uint32_t ReportedSectorSize(HANDLE device) {
  STORAGE_PROPERTY_QUERY query = {};
  query.PropertyId = StorageAccessAlignmentProperty;
  query.QueryType = PropertyStandardQuery;
  STORAGE_ACCESS_ALIGNMENT_DESCRIPTOR alignment = {};
  DWORD got = 0;
  if (DeviceIoControl(device, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query, &alignment, sizeof alignment, &got,
                      nullptr) &&
      got >= offsetof(STORAGE_ACCESS_ALIGNMENT_DESCRIPTOR, BytesPerPhysicalSector) &&
      IsSectorSize(alignment.BytesPerLogicalSector)) {
    return alignment.BytesPerLogicalSector;
  }
  DISK_GEOMETRY geometry = {};
  if (DeviceIoControl(device, IOCTL_DISK_GET_DRIVE_GEOMETRY, nullptr, 0, &geometry, sizeof geometry, &got, nullptr) &&
      IsSectorSize(geometry.BytesPerSector)) {
    return geometry.BytesPerSector;
  }
  return 0;
}

}  // namespace

bool DriveLettersNeedMapping() { return false; }

bool CVolumeDevice::OpenLetter(WCHAR letter, const std::string& mappedPath) {
  if (!mappedPath.empty()) return OpenPath(mappedPath);
  Close();
  const wchar_t path[] = {L'\\', L'\\', L'.', L'\\', letter, L':', 0};
  auto file = std::make_shared<CDeviceFile>();
  file->handle.Reset(OpenReadOnly(path));
  if (!file->handle.IsValid()) return false;
  m_handle->file = std::move(file);
  const uint32_t reported = ReportedSectorSize(m_handle->file->handle.Get());
  m_sectorSize = reported != 0 ? reported : UNREPORTED_SECTOR_SIZE;
  return true;
}

bool CVolumeDevice::OpenPath(const std::string& path) {
  Close();
  const WString widePath = Utf8ToWide(path);
  auto file = std::make_shared<CDeviceFile>();
  file->handle.Reset(OpenReadOnly(widePath.c_str()));
  if (!file->handle.IsValid()) return false;
  m_handle->file = std::move(file);
  // A path may name a device too ("\\.\PhysicalDrive1"); an image file reports no sector size.
  const uint32_t reported = ReportedSectorSize(m_handle->file->handle.Get());
  const uint32_t forced = ForcedSectorSizeForTesting();
  m_sectorSizeForced = reported == 0 && forced != 0;
  m_sectorSize = reported != 0 ? reported : forced != 0 ? forced : 1;
  return true;
}

void* CVolumeDevice::NativeHandle() const {
  return m_source == nullptr && m_handle->file != nullptr ? m_handle->file->handle.Get() : nullptr;
}

}  // namespace ostrin::platform
