// What the system tells of a volume's device without reading a byte of it: enough to see that the
// volume may have changed since an earlier look. Used to decide whether a drive's image is current.
#pragma once

#include <cstdint>
#include <string>

#include "platform/types.h"

namespace ostrin::platform {

enum class EDeviceKind : uint8_t {
  Unreadable,    // the system could not say: counts as changed
  File,          // an image file
  BlockDevice,   // a Linux block device
  VolumeDevice,  // a device of the system's own (Windows "\\.\X:", "\\.\PhysicalDrive1"): only its journal tells
};

struct CDeviceStamp {
  EDeviceKind kind = EDeviceKind::Unreadable;
  uint64_t device = 0;          // File: the file system holding it; BlockDevice: the device number
  uint64_t file = 0;            // File: its identity within that file system
  uint64_t size = 0;            // File: bytes
  int64_t modifiedNs = 0;       // File: modification time, nanoseconds since 1970 (UTC)
  int64_t changedNs = 0;        // File: change time (status or metadata), same clock
  uint64_t sectorsWritten = 0;  // BlockDevice: sectors written since the system started
  // File: both times lie at least a second before the stamp was taken. File systems keep times more
  // coarsely than the clock, so a write in the same second as the stamp could leave them equal.
  bool settled = false;

  bool operator==(const CDeviceStamp&) const = default;
};

// The stamp of a drive letter's device: mappedPath as the configuration maps the letter (an image file
// or a block device), or, when empty, the letter's own volume device (Windows).
CDeviceStamp ReadDeviceStamp(WCHAR letter, const std::string& mappedPath);

// True when now shows the same device in the same state as before: both readable, both settled, and
// equal in everything. A volume device is always the same here: its journal has to tell.
bool SameDeviceState(const CDeviceStamp& before, const CDeviceStamp& now);

}  // namespace ostrin::platform
