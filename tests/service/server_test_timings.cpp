// ServiceTimings for the tests: the fixed values, shortened only where a test asks for it.
#include "tests/service/server_test_timings.h"

#include <cstdlib>
#include <string>

namespace {

template <typename T>
void Override(const char* name, T* value) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text == '\0') return;
  *value = static_cast<T>(std::stod(text));
}

}  // namespace

CServiceTimings& TestServiceTimings() {
  static CServiceTimings timings = [] {
    CServiceTimings fromEnvironment;
    Override(ENV_SLOT_LOCK_WAIT_MS, &fromEnvironment.slotLockWaitMs);
    Override(ENV_CONNECTION_TIMEOUT_SECONDS, &fromEnvironment.connectionTimeoutSeconds);
    Override(ENV_CLEANUP_WAIT_MS, &fromEnvironment.cleanupWaitMs);
    Override(ENV_IDLE_LIMIT_SECONDS, &fromEnvironment.driveIdleLimitSeconds);
    Override(ENV_PROGRESS_DELAY_MS, &fromEnvironment.progressDelayMs);
    Override(ENV_OUT_OF_MEMORY_AT_PERCENT, &fromEnvironment.outOfMemoryAtPercent);
    return fromEnvironment;
  }();
  return timings;
}

const CServiceTimings& ServiceTimings() { return TestServiceTimings(); }
