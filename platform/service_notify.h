// Readiness reports to the service manager that started the process: systemd's notify protocol on
// Linux. On Windows the status reports to the service control manager already say all of this.
#pragma once

namespace ostrin::platform {

// Tells the service manager that the service now serves its clients. Linux: "READY=1" to the socket
// that $NOTIFY_SOCKET names (set by systemd for a unit of Type=notify); nothing when it is not set, as
// when the service is started by hand. Windows: nothing. Failures are ignored.
void NotifyServiceReady();

// Tells the service manager that the service has begun to stop. Linux: "STOPPING=1", as above.
void NotifyServiceStopping();

}  // namespace ostrin::platform
