// The performance counter on Windows: QueryPerformanceCounter and QueryPerformanceFrequency.
#include "platform/perf_counter.h"

#include <windows.h>

namespace ostrin::platform {

int64_t PerformanceCounter() {
  LARGE_INTEGER value;
  // Never fails on Windows XP and later.
  ::QueryPerformanceCounter(&value);
  return static_cast<int64_t>(value.QuadPart);
}

int64_t PerformanceFrequency() {
  LARGE_INTEGER value;
  ::QueryPerformanceFrequency(&value);
  return static_cast<int64_t>(value.QuadPart);
}

}  // namespace ostrin::platform
