// Volume device on Windows: "\\.\X:" (or a "volume.X" image file), read with positioned ReadFile in
// whole sectors of the device's logical sector size.
#include "platform/volume_device.h"

#include <windows.h>
#include <winioctl.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/text.h"
#include "platform/bounded_read.h"
#include "platform/sector_reads.h"
#include "platform/system_error.h"
#include "platform/win32/unique_handle.h"

namespace ostrin::platform {

namespace {

struct CDeviceFile {
  UniqueHandle handle;
};

}  // namespace

struct CVolumeDevice::Handle {
  // Shared with a read on the reader thread: one given up on keeps the device open until it returns.
  std::shared_ptr<CDeviceFile> file;
};

namespace {

std::atomic<uint32_t> g_forcedSectorSize{0};
std::atomic<uint64_t> g_hangReadsFrom{0};

// Reads whole sectors of the device (or of a forced sector size) only.
bool ReadWholeSectors(HANDLE device, uint32_t sectorSize, bool sectorSizeForced, uint64_t offset, void* buffer,
                      size_t length, size_t* bytesRead) {
  *bytesRead = 0;
  if (sectorSizeForced && !IsWholeSectors(sectorSize, offset, buffer, length)) {
    SetLastError(ERROR_INVALID_PARAMETER);  // what a volume device answers
    return false;
  }
  const uint64_t hangFrom = g_hangReadsFrom.load();
  if (hangFrom != 0 && offset + length > hangFrom) {
    for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
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
    if (!ReadFile(device, out + *bytesRead, ask, &got, &where)) {
      if (GetLastError() == ERROR_HANDLE_EOF) break;
      return false;
    }
    if (got == 0) break;  // end of the volume
    *bytesRead += got;
  }
  return true;
}

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

void CVolumeDevice::HangReadsForTesting(uint64_t fromByte) { g_hangReadsFrom = fromByte; }

CVolumeDevice::CVolumeDevice() : m_handle(std::make_unique<Handle>()) {}
CVolumeDevice::~CVolumeDevice() = default;

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
  m_handle->file.reset();
  m_source.reset();
  m_sectorSize = 0;
  m_sectorSizeForced = false;
  m_bytesRead.store(0, std::memory_order_relaxed);
}

bool CVolumeDevice::IsOpen() const { return m_source != nullptr || m_handle->file != nullptr; }

uint32_t CVolumeDevice::SectorSize() const { return m_source != nullptr ? 1 : m_sectorSize; }

void* CVolumeDevice::NativeHandle() const {
  return m_source == nullptr && m_handle->file != nullptr ? m_handle->file->handle.Get() : nullptr;
}

bool CVolumeDevice::ReadAt(uint64_t offset, void* buffer, size_t length, size_t* bytesRead) const {
  *bytesRead = 0;
  if (!IsOpen()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  // What the read needs, held by value: a read given up on runs on past its caller and this device.
  CBoundedReader::Read read = [file = m_handle->file, source = m_source, sectorSize = m_sectorSize,
                               forced = m_sectorSizeForced, offset](void* into, size_t bytes, size_t* got, uint32_t* error) {
    const bool done = source != nullptr
                          ? source->ReadAt(offset, into, bytes, got)
                          : ReadThroughSectors(sectorSize, offset, into, bytes, got,
                                               [&file, sectorSize, forced](uint64_t at, void* to, size_t count, size_t* n) {
                                                 return ReadWholeSectors(file->handle.Get(), sectorSize, forced, at, to, count, n);
                                               });
    if (!done) *error = LastSystemError();
    return done;
  };
  CReadGiveUp* const bounded = CReadGiveUp::Current();
  uint32_t error = 0;
  const bool done = bounded == nullptr ? read(buffer, length, bytesRead, &error)
                                       : bounded->Read(std::move(read), buffer, length, SectorSize(), bytesRead);
  m_bytesRead.fetch_add(*bytesRead, std::memory_order_relaxed);
  return done;
}

}  // namespace ostrin::platform
