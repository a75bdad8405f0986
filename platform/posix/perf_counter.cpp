// The performance counter on POSIX: the monotonic clock of the standard library.
#include "platform/perf_counter.h"

#include <chrono>

namespace ostrin::platform {

using CounterClock = std::chrono::steady_clock;

int64_t PerformanceCounter() {
  return static_cast<int64_t>(CounterClock::now().time_since_epoch().count());
}

int64_t PerformanceFrequency() {
  // Ticks of the clock per second: the inverse of its period.
  return static_cast<int64_t>(CounterClock::period::den / CounterClock::period::num);
}

}  // namespace ostrin::platform
