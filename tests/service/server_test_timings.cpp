// ServiceTimings for the tests: the fixed values, shortened only where a test asks for it.
#include "tests/service/server_test_timings.h"

#include <cstdlib>
#include <string>

#include "platform/volume_device.h"

namespace {

template <typename T>
void Override(const char* name, T* value) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text == '\0') return;
  *value = static_cast<T>(std::stod(text));
}

// A device that stops answering, for the tests of reads that are given up on.
[[maybe_unused]] const bool g_hangingReads = [] {
  const char* text = std::getenv(ENV_HANG_READS_FROM_BYTE);
  if (text == nullptr || *text == '\0') return false;
  ostrin::platform::CVolumeDevice::HangReadsForTesting(std::stoull(text));
  return true;
}();

}  // namespace

CServiceTimings& TestServiceTimings() {
  static CServiceTimings timings = [] {
    CServiceTimings fromEnvironment;
    Override(ENV_SLOT_LOCK_WAIT_MS, &fromEnvironment.slotLockWaitMs);
    Override(ENV_CONNECTION_TIMEOUT_SECONDS, &fromEnvironment.connectionTimeoutSeconds);
    Override(ENV_HELLO_TIMEOUT_SECONDS, &fromEnvironment.helloTimeoutSeconds);
    Override(ENV_EVENTS_PER_SECOND, &fromEnvironment.eventsPerSecond);
    Override(ENV_CLEANUP_WAIT_MS, &fromEnvironment.cleanupWaitMs);
    Override(ENV_IDLE_LIMIT_SECONDS, &fromEnvironment.driveIdleLimitSeconds);
    Override(ENV_PROGRESS_DELAY_MS, &fromEnvironment.progressDelayMs);
    Override(ENV_OUT_OF_MEMORY_AT_PERCENT, &fromEnvironment.outOfMemoryAtPercent);
    Override(ENV_USERS_BY_PEER_ADDRESS, &fromEnvironment.usersByPeerAddress);
    Override(ENV_PEERS_ARE_THE_SERVICE_USER, &fromEnvironment.peersAreTheServiceUser);
    return fromEnvironment;
  }();
  return timings;
}

const CServiceTimings& ServiceTimings() { return TestServiceTimings(); }
