// The service control manager on Windows: the SCM API and the event-log source key of the registry.
#include "platform/service_control.h"

#include <windows.h>

#include <atomic>
#include <cstddef>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include "platform/text.h"
#include "platform/event_log.h"
#include "platform/win32/environment.h"
#include "platform/win32/unique_handle.h"

namespace ostrin::platform {

static_assert(sizeof(SERVICE_STATUS_RECORD) == sizeof(SERVICE_STATUS));
static_assert(offsetof(SERVICE_STATUS_RECORD, currentState) == offsetof(SERVICE_STATUS, dwCurrentState));
static_assert(offsetof(SERVICE_STATUS_RECORD, waitHint) == offsetof(SERVICE_STATUS, dwWaitHint));
static_assert(SVC_TYPE_OWN_PROCESS == SERVICE_WIN32_OWN_PROCESS && SVC_ACCEPT_STOP == SERVICE_ACCEPT_STOP);
static_assert(SVC_STATE_STOPPED == SERVICE_STOPPED && SVC_STATE_START_PENDING == SERVICE_START_PENDING &&
              SVC_STATE_STOP_PENDING == SERVICE_STOP_PENDING && SVC_STATE_RUNNING == SERVICE_RUNNING);
static_assert(SVC_CONTROL_STOP == SERVICE_CONTROL_STOP && SVC_CONTROL_INTERROGATE == SERVICE_CONTROL_INTERROGATE &&
              SVC_CONTROL_SHUTDOWN == SERVICE_CONTROL_SHUTDOWN);

namespace {

constexpr wchar_t EVENT_LOG_SOURCES_KEY[] = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\";

struct SScHandleTraits {
  using Value = SC_HANDLE;
  static SC_HANDLE Invalid() { return nullptr; }
  static bool IsValid(SC_HANDLE handle) { return handle != nullptr; }
  static void Close(SC_HANDLE handle) { CloseServiceHandle(handle); }
};

// An SCM handle (of the manager or of a service), closed with CloseServiceHandle.
using CScHandle = CUniqueResource<SScHandleTraits>;

// The SCM starts the service's program from this command line; a path with blanks in it is quoted, or
// the SCM would try "C:\Program.exe" for "C:\Program Files\...".
WString CommandLineOfPath(const WString& path) {
  if (path.find_first_of(L" \t") == WString::npos) return path;
  return L"\"" + path + L"\"";
}

// The dispatcher calls these with the Windows calling convention; they pass the call on.
std::atomic<ServiceMainFunction> g_serviceMain{nullptr};
std::atomic<ServiceControlFunction> g_controlHandler{nullptr};

VOID WINAPI ServiceMainThunk(DWORD argc, LPWSTR* argv) { g_serviceMain.load()(argc, argv); }

// A service run outside the SCM (how tests run the program): the control handler and the state the
// service reported, and an event that wakes the dispatcher when either changes or the service ends.
constexpr wchar_t STOP_EVENT_VARIABLE[] = L"OSTRIN_STOP_EVENT";
constexpr ServiceStatusHandle FOREGROUND_STATUS_HANDLE = 1;  // no SCM handle has this value

struct SForegroundDispatcher {
  std::mutex lock;
  bool active = false;
  WString name;
  ServiceControlFunction handler = nullptr;
  uint32_t reportedState = 0;
  HANDLE wake = nullptr;
};

SForegroundDispatcher& Foreground() {
  static SForegroundDispatcher dispatcher;
  return dispatcher;
}

// Runs the service's main function on a thread of its own, as the Linux dispatcher does; the named
// event, made by whoever started the program, is the stop control once it is signalled. As with the
// SCM, the stop reaches the service only after it has reported running.
bool RunInForeground(const WString& name, ServiceMainFunction serviceMain, const std::wstring& stopEventName) {
  UniqueHandle stop(OpenEventW(SYNCHRONIZE, FALSE, stopEventName.c_str()));
  UniqueHandle wake(CreateEventW(nullptr, FALSE, FALSE, nullptr));
  if (!stop.IsValid() || !wake.IsValid()) return false;
  SForegroundDispatcher& dispatcher = Foreground();
  {
    std::lock_guard<std::mutex> lock(dispatcher.lock);
    dispatcher.active = true;
    dispatcher.name = name;
    dispatcher.handler = nullptr;
    dispatcher.reportedState = 0;
    dispatcher.wake = wake.Get();
  }
  std::atomic<bool> ended{false};
  WString argument = name;
  std::thread serviceThread;
  try {
    serviceThread = std::thread([&] {
      WCHAR* argv[2] = {argument.data(), nullptr};
      serviceMain(1, argv);
      ended = true;
      SetEvent(wake.Get());
    });
  } catch (const std::system_error&) {
    // No thread for the service (out of resources): the dispatcher fails as the SCM's would.
    std::lock_guard<std::mutex> lock(dispatcher.lock);
    dispatcher.active = false;
    dispatcher.wake = nullptr;
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return false;
  }
  bool stopSeen = false, stopDelivered = false;
  while (!ended) {
    ServiceControlFunction handler = nullptr;
    uint32_t state = 0;
    {
      std::lock_guard<std::mutex> lock(dispatcher.lock);
      handler = dispatcher.handler;
      state = dispatcher.reportedState;
    }
    if (stopSeen && !stopDelivered && handler != nullptr && state == SVC_STATE_RUNNING) {
      stopDelivered = true;
      handler(SVC_CONTROL_STOP);
      continue;
    }
    // The stop event stays signalled: once seen, only the wake event is waited for.
    const HANDLE handles[2] = {wake.Get(), stop.Get()};
    if (WaitForMultipleObjects(stopSeen ? 1 : 2, handles, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) stopSeen = true;
  }
  serviceThread.join();
  std::lock_guard<std::mutex> lock(dispatcher.lock);
  dispatcher.active = false;
  dispatcher.handler = nullptr;
  dispatcher.wake = nullptr;
  return true;
}

VOID WINAPI ControlHandlerThunk(DWORD code) {
  const ServiceControlFunction handler = g_controlHandler.load();
  if (handler != nullptr) handler(code);
}

}  // namespace

struct CService::Handle {
  explicit Handle(SC_HANDLE opened) : service(opened) {}
  CScHandle service;
};

CService::CService() = default;

CService::~CService() = default;

bool CService::Delete() {
  if (m_handle == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  return DeleteService(m_handle->service.Get()) != FALSE;
}

struct CServiceManager::Handle {
  explicit Handle(SC_HANDLE opened) : manager(opened) {}
  CScHandle manager;
};

CServiceManager::CServiceManager() = default;

CServiceManager::~CServiceManager() = default;

bool CServiceManager::Open() {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (manager == nullptr) return false;
  m_handle = std::make_unique<Handle>(manager);
  return true;
}

bool CServiceManager::IsServiceInstalled(const WString& name) const {
  if (m_handle == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  CScHandle service(OpenServiceW(m_handle->manager.Get(), name.c_str(), SERVICE_QUERY_CONFIG));
  return service.Get() != nullptr;
}

bool CServiceManager::InstallAutoStartService(const WString& name, const WString& description,
                                              const WString& programPath, const std::vector<WString>& arguments) const {
  if (m_handle == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  WString commandLine = CommandLineOfPath(programPath);
  for (const WString& argument : arguments) commandLine += L" " + CommandLineOfPath(argument);
  CScHandle service(CreateServiceW(m_handle->manager.Get(), name.c_str(), name.c_str(), SERVICE_ALL_ACCESS,
                                   SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                   commandLine.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
  if (service.Get() == nullptr) return false;
  WString descriptionText = description;
  SERVICE_DESCRIPTIONW config = {descriptionText.data()};
  ChangeServiceConfig2W(service.Get(), SERVICE_CONFIG_DESCRIPTION, &config);
  return true;
}

bool CServiceManager::OpenServiceForDelete(const WString& name, CService* service) const {
  if (m_handle == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  SC_HANDLE opened = OpenServiceW(m_handle->manager.Get(), name.c_str(), DELETE);
  if (opened == nullptr) return false;
  service->m_handle = std::make_unique<CService::Handle>(opened);
  return true;
}

bool RegisterEventLogSource(const WString& name, const WString& messageFile) {
  const WString keyPath = EVENT_LOG_SOURCES_KEY + name;
  HKEY key = nullptr;
  LONG result = RegCreateKeyExW(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                KEY_SET_VALUE, nullptr, &key, nullptr);
  if (result != ERROR_SUCCESS) {
    SetLastError(static_cast<DWORD>(result));
    return false;
  }
  const DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
  // The stored size of a string value counts its terminating NUL.
  result = RegSetValueExW(key, L"EventMessageFile", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(messageFile.c_str()),
                          static_cast<DWORD>((messageFile.size() + 1) * sizeof(wchar_t)));
  if (result == ERROR_SUCCESS) {
    result = RegSetValueExW(key, L"TypesSupported", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&types), sizeof types);
  }
  RegCloseKey(key);
  if (result != ERROR_SUCCESS) {
    SetLastError(static_cast<DWORD>(result));
    return false;
  }
  return true;
}

bool StartServiceDispatcher(const WString& name, ServiceMainFunction serviceMain) {
  g_serviceMain = serviceMain;
  WString serviceName = name;
  // Asked first: Wine's dispatcher waits 10 s for a control pipe before it fails outside the SCM.
  const std::wstring stopEvent = EnvironmentValue(STOP_EVENT_VARIABLE);
  if (!stopEvent.empty()) {
    UniqueHandle probe(OpenEventW(SYNCHRONIZE, FALSE, stopEvent.c_str()));
    if (probe.IsValid()) return RunInForeground(name, serviceMain, stopEvent);
  }
  SERVICE_TABLE_ENTRYW table[2] = {{serviceName.data(), ServiceMainThunk}, {nullptr, nullptr}};
  return StartServiceCtrlDispatcherW(table) != FALSE;
}

ServiceStatusHandle RegisterServiceControlHandler(const WString& name, ServiceControlFunction handler) {
  SForegroundDispatcher& dispatcher = Foreground();
  {
    std::lock_guard<std::mutex> lock(dispatcher.lock);
    if (dispatcher.active) {
      if (dispatcher.name != name) {
        SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
        return 0;
      }
      dispatcher.handler = handler;
      return FOREGROUND_STATUS_HANDLE;
    }
  }
  // Set first: the SCM may call the handler as soon as it is registered.
  g_controlHandler = handler;
  return reinterpret_cast<ServiceStatusHandle>(RegisterServiceCtrlHandlerW(name.c_str(), ControlHandlerThunk));
}

bool ReportServiceStatus(ServiceStatusHandle handle, const SERVICE_STATUS_RECORD& status) {
  if (handle == FOREGROUND_STATUS_HANDLE) {
    if (DebugTraceEnabled()) {
      DebugTrace(L"service status: state " + AsciiToWide(std::to_string(status.currentState)) + L", exit code " +
                 AsciiToWide(std::to_string(status.win32ExitCode)));
    }
    SForegroundDispatcher& dispatcher = Foreground();
    std::lock_guard<std::mutex> lock(dispatcher.lock);
    if (dispatcher.active) {
      dispatcher.reportedState = status.currentState;
      SetEvent(dispatcher.wake);
    }
    return true;
  }
  SERVICE_STATUS record = {status.serviceType,        status.currentState,        status.controlsAccepted,
                           status.win32ExitCode,      status.serviceSpecificExitCode, status.checkPoint,
                           status.waitHint};
  return SetServiceStatus(reinterpret_cast<SERVICE_STATUS_HANDLE>(handle), &record) != FALSE;
}

}  // namespace ostrin::platform
