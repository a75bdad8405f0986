// The high-resolution performance counter: readings to measure how long a drive has been idle.
#pragma once

#include <cstdint>

namespace ostrin::platform {

// The counter's current reading; it only ever grows while the machine runs.
int64_t PerformanceCounter();

// Counts of PerformanceCounter per second; fixed while the machine runs.
int64_t PerformanceFrequency();

}  // namespace ostrin::platform
