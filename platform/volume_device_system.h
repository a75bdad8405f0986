// What each system writes for itself of platform/volume_device.cpp: its open device file, the read of
// one, and the error codes those reads answer. Only the volume device's own sources include it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/volume_device.h"

namespace ostrin::platform {

// The system's open device or image file, defined by each system's volume_device.cpp.
struct CDeviceFile;

struct CVolumeDevice::Handle {
  // Shared with a read on the reader thread: one given up on keeps the file open until it returns.
  std::shared_ptr<CDeviceFile> file;
};

// Reads up to length bytes at offset from the file with the system's positioned read, in as many
// pieces as the system needs, stopping at the end of the volume. The caller has already checked
// that a device read in whole sectors is asked for whole sectors.
bool ReadDeviceFile(const CDeviceFile& file, uint64_t offset, void* buffer, size_t length, size_t* bytesRead);

// The sector size that ForceSectorSizeForTesting set, 0 when none.
uint32_t ForcedSectorSizeForTesting();

uint32_t ErrorUnalignedRead();  // what a device read without its cache answers (EINVAL / ERROR_INVALID_PARAMETER)
uint32_t ErrorDeviceNotOpen();  // EBADF / ERROR_INVALID_HANDLE

}  // namespace ostrin::platform
