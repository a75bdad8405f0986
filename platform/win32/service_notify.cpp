// Readiness reports on Windows: nothing to send, the running and stop-pending states reported to the
// service control manager say the same.
#include "platform/service_notify.h"

namespace ostrin::platform {

void NotifyServiceReady() {}

void NotifyServiceStopping() {}

}  // namespace ostrin::platform
