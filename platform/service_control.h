// The service control manager: installing and removing a service, its control dispatcher and status.
// Windows: the SCM and the registry. Linux: a systemd unit, and a dispatcher driven by signals.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/types.h"

namespace ostrin::platform {

// Values of the service status record and of the control codes, as Windows defines them.
inline constexpr uint32_t SVC_TYPE_OWN_PROCESS = 0x10;

inline constexpr uint32_t SVC_STATE_STOPPED = 1;
inline constexpr uint32_t SVC_STATE_START_PENDING = 2;
inline constexpr uint32_t SVC_STATE_STOP_PENDING = 3;
inline constexpr uint32_t SVC_STATE_RUNNING = 4;

inline constexpr uint32_t SVC_ACCEPT_STOP = 1;

inline constexpr uint32_t SVC_CONTROL_STOP = 1;
inline constexpr uint32_t SVC_CONTROL_PAUSE = 2;
inline constexpr uint32_t SVC_CONTROL_CONTINUE = 3;
inline constexpr uint32_t SVC_CONTROL_INTERROGATE = 4;
inline constexpr uint32_t SVC_CONTROL_SHUTDOWN = 5;
inline constexpr uint32_t SVC_CONTROL_USER_FIRST = 128;  // 128..255 are the service's own codes

// The status a service reports, laid out as the SDK's SERVICE_STATUS.
struct SERVICE_STATUS_RECORD {
  uint32_t serviceType;
  uint32_t currentState;
  uint32_t controlsAccepted;
  uint32_t win32ExitCode;
  uint32_t serviceSpecificExitCode;
  uint32_t checkPoint;
  uint32_t waitHint;
};

// What registering the control handler returns; 0 when registration failed.
using ServiceStatusHandle = uintptr_t;

// The service's main function, run on a thread of the dispatcher, and its control handler.
using ServiceMainFunction = void (*)(uint32_t argc, WCHAR** argv);
using ServiceControlFunction = void (*)(uint32_t code);

// One installed service, opened with the right to delete it; closed with its owner.
class CService {
 public:
  CService();
  ~CService();
  CService(const CService&) = delete;
  CService& operator=(const CService&) = delete;

  // Deletes the service (Linux: stops and disables the unit and removes its file). Returns false with the
  // system's last error set on failure.
  bool Delete();

 private:
  friend class CServiceManager;
  struct Handle;
  std::unique_ptr<Handle> m_handle;
};

// The service control manager of the local machine, opened with full access; closed with its owner.
// On Linux the manager is the systemd unit folder: $OSTRIN_SYSTEMD_DIR, else /etc/systemd/system, and
// systemctl is run only when systemd runs and OSTRIN_SYSTEMD_DIR is not set.
class CServiceManager {
 public:
  CServiceManager();
  ~CServiceManager();
  CServiceManager(const CServiceManager&) = delete;
  CServiceManager& operator=(const CServiceManager&) = delete;

  // Every call below returns false with the system's last error set on failure.
  bool Open();

  // Opens the service with the right to query its configuration and closes it again: true when the
  // service exists and may be queried (Linux: its unit file exists).
  bool IsServiceInstalled(const WString& name) const;

  // Installs a service of its own process, started automatically, normal error control, running under
  // the local system account, whose display name is its name; programPath is what the manager starts,
  // with the arguments after it (each quoted as the manager needs). The description is set afterwards;
  // whether that succeeds is not part of the result.
  bool InstallAutoStartService(const WString& name, const WString& description, const WString& programPath,
                               const std::vector<WString>& arguments = {}) const;

  // Opens the service with the right to delete it.
  bool OpenServiceForDelete(const WString& name, CService* service) const;

 private:
  struct Handle;
  std::unique_ptr<Handle> m_handle;
};

// Registers an event-log source under the Application log, with messageFile as its message file and
// the error, warning and information types. Linux needs no registration and always succeeds.
bool RegisterEventLogSource(const WString& name, const WString& messageFile);

// Runs the control dispatcher for one service until the service's main function has returned.
// Windows: StartServiceCtrlDispatcherW, which fails at once outside the service control manager;
// but when the environment variable OSTRIN_STOP_EVENT names an existing event (how tests run the
// program), the service runs in the foreground instead, as on Linux, and the event once signalled is
// the stop control.
// Linux: blocks SIGTERM, SIGINT and SIGHUP, runs the main function on a thread of its own and turns
// SIGTERM and SIGINT into the stop control, SIGHUP into interrogate. A stop waits until the service
// has reported running (as the SCM sends no stop to a service that is still starting). The three stay
// blocked when it returns, so that a stop repeated while the process ends cannot end it by its signal.
bool StartServiceDispatcher(const WString& name, ServiceMainFunction serviceMain);

// Registers the control handler of the service named name; called from its main function.
ServiceStatusHandle RegisterServiceControlHandler(const WString& name, ServiceControlFunction handler);

// Reports the service's status. Linux writes it to the debug trace.
bool ReportServiceStatus(ServiceStatusHandle handle, const SERVICE_STATUS_RECORD& status);

}  // namespace ostrin::platform
