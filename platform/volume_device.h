// Read-only access to the raw bytes of a volume: the device of a drive letter, or an image file.
#pragma once

#include <atomic>
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
  // read fails; *bytesRead tells how many bytes arrived (fewer at the end of the volume). Any offset
  // and length may be asked for: the device itself is read in whole sectors (platform/sector_reads.h).
  // On a thread with a platform::CReadGiveUp (platform/bounded_read.h) the read is bounded: it runs on
  // the device's reader thread and fails with ErrorReadGivenUp() once the check says so, leaving
  // buffer untouched; otherwise it is the device's own blocking read.
  bool ReadAt(uint64_t offset, void* buffer, size_t length, size_t* bytesRead) const;

  // The logical sector size the device is read in: what a volume device reports (on Windows; 4096
  // where it reports nothing, as whole sectors of 4096 bytes are whole sectors of 512 too), 1 for an
  // image file (any read), 0 when nothing is open.
  uint32_t SectorSize() const;

  // The system's handle of the open device, as an opaque value for the controls of
  // platform/volume_journal.h: null when nothing is open, when the bytes come from a source, and on
  // Linux (which has no such controls).
  void* NativeHandle() const;

  // Bytes that reads of this device have delivered since it was opened: what shows that a look at a
  // volume read no more than it meant to.
  uint64_t BytesRead() const { return m_bytesRead.load(std::memory_order_relaxed); }

  // Tests only: image files opened from now on in this process are read as a device of this logical
  // sector size, which refuses every read of its own that is not whole sectors into sector-aligned
  // memory (as a volume device on Windows does). 0 ends it.
  static void ForceSectorSizeForTesting(uint32_t bytes);

  // Tests only: from now on a read of a device or image file (not of a source) in this process that
  // reaches past this byte never returns, as a read of a device that stopped answering. 0 ends it for
  // the reads that come after.
  static void HangReadsForTesting(uint64_t fromByte);

 private:
  struct Handle;

  std::unique_ptr<Handle> m_handle;
  std::shared_ptr<const IVolumeSource> m_source;
  uint32_t m_sectorSize = 0;
  bool m_sectorSizeForced = false;
  mutable std::atomic<uint64_t> m_bytesRead{0};
};

}  // namespace ostrin::platform
