// An owned POSIX file descriptor, closed by its owner.
#pragma once

#include <unistd.h>

#include "platform/unique_resource.h"

namespace ostrin::platform {

struct SFdTraits {
  using Value = int;
  static int Invalid() { return -1; }
  static bool IsValid(int fd) { return fd >= 0; }
  static void Close(int fd) { ::close(fd); }
};

using UniqueFd = CUniqueResource<SFdTraits>;

}  // namespace ostrin::platform
