// Comparing device stamps: the part that is the same on every system.
#include "platform/device_stamp.h"

namespace ostrin::platform {

bool SameDeviceState(const CDeviceStamp& before, const CDeviceStamp& now) {
  if (before.kind == EDeviceKind::Unreadable || now.kind == EDeviceKind::Unreadable) return false;
  if (before.kind == EDeviceKind::File && (!before.settled || !now.settled)) return false;
  return before == now;
}

}  // namespace ostrin::platform
