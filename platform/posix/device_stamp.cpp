// Device stamps on Linux: stat of an image file; the sectors written to a block device from sysfs.
#include "platform/device_stamp.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <time.h>

#include <cstdio>
#include <fstream>

namespace ostrin::platform {

namespace {

constexpr int64_t NS_PER_SECOND = 1000000000;

int64_t Nanoseconds(const timespec& time) { return static_cast<int64_t>(time.tv_sec) * NS_PER_SECOND + time.tv_nsec; }

// The sectors written to a block device: the seventh field of /sys/dev/block/MAJOR:MINOR/stat.
bool ReadSectorsWritten(dev_t device, uint64_t* sectors) {
  char path[64];
  std::snprintf(path, sizeof path, "/sys/dev/block/%u:%u/stat", major(device), minor(device));
  std::ifstream stat(path);
  uint64_t field = 0;
  for (int i = 0; i < 7; ++i) {
    if (!(stat >> field)) return false;
  }
  *sectors = field;
  return true;
}

}  // namespace

CDeviceStamp ReadDeviceStamp(WCHAR /*letter*/, const std::string& mappedPath) {
  CDeviceStamp stamp;
  struct stat status = {};
  if (mappedPath.empty() || ::stat(mappedPath.c_str(), &status) != 0) return stamp;
  if (S_ISBLK(status.st_mode)) {
    if (!ReadSectorsWritten(status.st_rdev, &stamp.sectorsWritten)) return stamp;
    stamp.kind = EDeviceKind::BlockDevice;
    stamp.device = status.st_rdev;
    return stamp;
  }
  if (!S_ISREG(status.st_mode)) return stamp;
  timespec now = {};
  ::clock_gettime(CLOCK_REALTIME, &now);
  stamp.kind = EDeviceKind::File;
  stamp.device = status.st_dev;
  stamp.file = status.st_ino;
  stamp.size = static_cast<uint64_t>(status.st_size);
  stamp.modifiedNs = Nanoseconds(status.st_mtim);
  stamp.changedNs = Nanoseconds(status.st_ctim);
  const int64_t latest = stamp.modifiedNs > stamp.changedNs ? stamp.modifiedNs : stamp.changedNs;
  stamp.settled = Nanoseconds(now) - latest >= NS_PER_SECOND;
  return stamp;
}

}  // namespace ostrin::platform
