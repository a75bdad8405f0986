// Read-only access to the raw bytes of a volume: the device of a drive letter, or an image file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/types.h"

namespace ostrin::platform {

// Bytes that stand in for the system's device: a volume held in memory, or a device whose reads fail
// where a test wants them to. Used by tests and fuzz targets only; the product opens real devices.
class IVolumeSource {
 public:
  virtual ~IVolumeSource() = default;
  // The contract of CVolumeDevice::ReadAt; a failing read sets the system's last error.
  virtual bool ReadAt(uint64_t offset, void* buffer, size_t length, size_t* bytesRead) const = 0;
};

// One open volume. Reads are positioned (no shared file position), so a device may be read from
// several places without a seek between them. The device is closed with its owner.
// Whether a drive letter names a volume only through a "volume.X" key of the configuration (Linux,
// which has no drive letters), rather than opening the letter's own device (Windows).
bool DriveLettersNeedMapping();

class CVolumeDevice {
 public:
  CVolumeDevice();
  ~CVolumeDevice();
  CVolumeDevice(const CVolumeDevice&) = delete;
  CVolumeDevice& operator=(const CVolumeDevice&) = delete;

  // Opens the volume of a drive letter, read-only, sharing read and write with others. mappedPath is
  // the "volume.X" key of the configuration for that letter, or empty when there is none: on Windows
  // an empty mapping opens the device "\\.\X:"; on Linux a letter must be mapped. On failure returns
  // false with the system's last error set.
  bool OpenLetter(WCHAR letter, const std::string& mappedPath);

  // Opens a block device or image file by path, read-only. On failure returns false with the system's
  // last error set.
  bool OpenPath(const std::string& path);

  // Reads from source instead of a device until the next open or close.
  void OpenSource(std::shared_ptr<const IVolumeSource> source);

  void Close();
  bool IsOpen() const;

  // Reads up to length bytes at a byte offset from the start of the volume. Returns false when the
  // read fails; *bytesRead tells how many bytes arrived (fewer at the end of the volume).
  bool ReadAt(uint64_t offset, void* buffer, size_t length, size_t* bytesRead) const;

 private:
  struct Handle;
  std::unique_ptr<Handle> m_handle;
  std::shared_ptr<const IVolumeSource> m_source;
};

}  // namespace ostrin::platform
