// Volume device on every system: sources, sector sizes and bounded reads; the open and the read of
// the system's own device are in platform/posix/ and platform/win32/.
#include "platform/volume_device.h"

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/bounded_read.h"
#include "platform/sector_reads.h"
#include "platform/system_error.h"
#include "platform/volume_device_system.h"

namespace ostrin::platform {

namespace {

std::atomic<uint32_t> g_forcedSectorSize{0};
std::atomic<uint64_t> g_hangReadsFrom{0};

// Reads whole sectors of the file (or of a forced sector size) only.
bool ReadWholeSectors(const CDeviceFile& file, uint32_t sectorSize, bool sectorSizeForced, uint64_t offset, void* buffer,
                      size_t length, size_t* bytesRead) {
  *bytesRead = 0;
  if (sectorSizeForced && !IsWholeSectors(sectorSize, offset, buffer, length)) {
    SetLastSystemError(ErrorUnalignedRead());
    return false;
  }
  const uint64_t hangFrom = g_hangReadsFrom.load();
  if (hangFrom != 0 && offset + length > hangFrom) {
    for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
  }
  return ReadDeviceFile(file, offset, buffer, length, bytesRead);
}

}  // namespace

uint32_t ForcedSectorSizeForTesting() { return g_forcedSectorSize; }

void CVolumeDevice::ForceSectorSizeForTesting(uint32_t bytes) { g_forcedSectorSize = bytes; }

void CVolumeDevice::HangReadsForTesting(uint64_t fromByte) { g_hangReadsFrom = fromByte; }

CVolumeDevice::CVolumeDevice() : m_handle(std::make_unique<Handle>()) {}
CVolumeDevice::~CVolumeDevice() = default;

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

bool CVolumeDevice::ReadAt(uint64_t offset, void* buffer, size_t length, size_t* bytesRead) const {
  *bytesRead = 0;
  if (!IsOpen()) {
    SetLastSystemError(ErrorDeviceNotOpen());
    return false;
  }
  // What the read needs, held by value: a read given up on runs on past its caller and this device.
  CBoundedReader::Read read = [file = m_handle->file, source = m_source, sectorSize = m_sectorSize,
                               forced = m_sectorSizeForced, offset](void* into, size_t bytes, size_t* got, uint32_t* error) {
    const bool done = source != nullptr
                          ? source->ReadAt(offset, into, bytes, got)
                          : ReadThroughSectors(sectorSize, offset, into, bytes, got,
                                               [&file, sectorSize, forced](uint64_t at, void* to, size_t count, size_t* n) {
                                                 return ReadWholeSectors(*file, sectorSize, forced, at, to, count, n);
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
