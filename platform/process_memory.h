// The memory the calling process holds, as the system accounts it.
#pragma once

#include <cstdint>

namespace ostrin::platform {

struct CProcessMemory {
  uint64_t resident = 0;      // bytes resident now (Linux VmRSS, Windows working set)
  uint64_t peakResident = 0;  // the most resident so far (VmHWM, peak working set)
};

// Zeros when the system does not tell.
CProcessMemory ProcessMemory();

}  // namespace ostrin::platform
