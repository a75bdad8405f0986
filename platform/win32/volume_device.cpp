// Volume device on Windows: "\\.\X:" (or a "volume.X" image file), read with positioned ReadFile in
// whole sectors of the device's logical sector size.
#include "platform/volume_device.h"

#include <windows.h>
#include <winioctl.h>

#include <atomic>

#include "common/text.h"
#include "platform/sector_reads.h"
#include "platform/win32/unique_handle.h"

namespace ostrin::platform {

struct CVolumeDevice::Handle {
  UniqueHandle handle;
};

namespace {

std::atomic<uint32_t> g_forcedSectorSize{0};

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

void CVolumeDevice::ForceSectorSizeForTesting(uint32_t bytes) { g_forcedSectorSize = bytes; }

CVolumeDevice::CVolumeDevice() : m_handle(std::make_unique<Handle>()) {}
CVolumeDevice::~CVolumeDevice() = default;

bool CVolumeDevice::OpenLetter(WCHAR letter, const std::string& mappedPath) {
  if (!mappedPath.empty()) return OpenPath(mappedPath);
  Close();
  const wchar_t path[] = {L'\\', L'\\', L'.', L'\\', letter, L':', 0};
  m_handle->handle.Reset(OpenReadOnly(path));
  if (!m_handle->handle.IsValid()) return false;
  const uint32_t reported = ReportedSectorSize(m_handle->handle.Get());
  m_sectorSize = reported != 0 ? reported : UNREPORTED_SECTOR_SIZE;
  return true;
}

bool CVolumeDevice::OpenPath(const std::string& path) {
  Close();
  const WString widePath = Utf8ToWide(path);
  m_handle->handle.Reset(OpenReadOnly(widePath.c_str()));
  if (!m_handle->handle.IsValid()) return false;
  // A path may name a device too ("\\.\PhysicalDrive1"); an image file reports no sector size.
  const uint32_t reported = ReportedSectorSize(m_handle->handle.Get());
  const uint32_t forced = g_forcedSectorSize;
  m_sectorSizeForced = reported == 0 && forced != 0;
  m_sectorSize = reported != 0 ? reported : forced != 0 ? forced : 1;
  return true;
}

void CVolumeDevice::OpenSource(std::shared_ptr<const IVolumeSource> source) {
  Close();
  m_source = std::move(source);
}

void CVolumeDevice::Close() {
  m_handle->handle.Reset();
  m_source.reset();
  m_sectorSize = 0;
  m_sectorSizeForced = false;
  m_bytesRead.store(0, std::memory_order_relaxed);
}

bool CVolumeDevice::IsOpen() const { return m_source != nullptr || m_handle->handle.IsValid(); }

uint32_t CVolumeDevice::SectorSize() const { return m_source != nullptr ? 1 : m_sectorSize; }

void* CVolumeDevice::NativeHandle() const {
  return m_source == nullptr && m_handle->handle.IsValid() ? m_handle->handle.Get() : nullptr;
}

bool CVolumeDevice::ReadAt(uint64_t offset, void* buffer, size_t length, size_t* bytesRead) const {
  *bytesRead = 0;
  if (!IsOpen()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  const bool read = m_source != nullptr
                        ? m_source->ReadAt(offset, buffer, length, bytesRead)
                        : ReadThroughSectors(m_sectorSize, offset, buffer, length, bytesRead,
                                             [this](uint64_t at, void* into, size_t bytes, size_t* got) {
                                               return ReadWholeSectors(at, into, bytes, got);
                                             });
  m_bytesRead.fetch_add(*bytesRead, std::memory_order_relaxed);
  return read;
}

bool CVolumeDevice::ReadWholeSectors(uint64_t offset, void* buffer, size_t length, size_t* bytesRead) const {
  *bytesRead = 0;
  if (m_sectorSizeForced && !IsWholeSectors(m_sectorSize, offset, buffer, length)) {
    SetLastError(ERROR_INVALID_PARAMETER);  // what a volume device answers
    return false;
  }
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
    if (!ReadFile(m_handle->handle.Get(), out + *bytesRead, ask, &got, &where)) {
      if (GetLastError() == ERROR_HANDLE_EOF) break;
      return false;
    }
    if (got == 0) break;  // end of the volume
    *bytesRead += got;
  }
  return true;
}

}  // namespace ostrin::platform
