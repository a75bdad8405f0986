// The service framework: entry points, state reports, controls, event log and the command-line options.
#include "service/nt_service.h"

#include <cstdio>
#include <exception>
#include <filesystem>
#include <string>
#include <vector>

#include "common/configuration.h"
#include "common/text.h"
#include "platform/module_path.h"
#include "platform/service_notify.h"
#include "platform/system_error.h"
#include "service/event_messages.h"

using ostrin::platform::EventType;
using ostrin::platform::LastSystemError;

namespace platform = ostrin::platform;

namespace {

// True when the argument is the option, ignoring ASCII case.
bool OptionIs(const WCHAR* argument, const WCHAR* option) {
  for (; *argument != 0 && *option != 0; ++argument, ++option) {
    if (AsciiLower(*argument) != AsciiLower(*option)) return false;
  }
  return *argument == 0 && *option == 0;
}

}  // namespace

CNTService* CNTService::instance = nullptr;

CNTService::CNTService(const WCHAR* serviceName, int32_t major, int32_t minor)
    : versionMajor(major),
      versionMinor(minor),
      status{platform::SVC_TYPE_OWN_PROCESS, platform::SVC_STATE_STOPPED, platform::SVC_ACCEPT_STOP, 0, 0, 0, 0} {
  size_t length = 0;
  while (serviceName[length] != 0 && length + 1 < SERVICE_NAME_CAPACITY) {
    name[length] = serviceName[length];
    ++length;
  }
  name[length] = 0;
  instance = this;
}

CNTService::~CNTService() {
  if (instance == this) instance = nullptr;
}

void CNTService::Serve() {}

bool CNTService::Prepare() { return true; }

void CNTService::HandleStop() {}

void CNTService::HandleInterrogate() {}

void CNTService::HandlePause() {}

void CNTService::HandleContinue() {}

void CNTService::HandleShutdown() {}

bool CNTService::HandleUserControl(uint32_t /*code*/) { return false; }

void CNTService::ServiceEntry(uint32_t /*argc*/, WCHAR** /*argv*/) {
  CNTService* service = instance;
  if (service == nullptr) return;
  {
    std::lock_guard<std::mutex> lock(service->statusLock);
    service->status.currentState = platform::SVC_STATE_START_PENDING;
  }
  const platform::ServiceStatusHandle handle = platform::RegisterServiceControlHandler(service->name, &CNTService::ControlHandler);
  {
    std::lock_guard<std::mutex> lock(service->statusLock);
    service->statusHandle = handle;
  }
  if (handle == 0) {
    service->WriteEvent(EventType::Error, EVMSG_CTRL_HANDLER_NOT_INSTALLED);
    return;
  }
  if (service->PrepareToRun()) {
    {
      std::lock_guard<std::mutex> lock(service->statusLock);
      service->status.win32ExitCode = 0;
      service->status.checkPoint = 0;
      service->status.waitHint = 0;
    }
    service->Serve();
  }
  service->SetStatus(platform::SVC_STATE_STOPPED);
}

void CNTService::ControlHandler(uint32_t code) {
  CNTService* service = instance;
  if (service == nullptr) return;
  switch (code) {
    case platform::SVC_CONTROL_STOP:
      service->SetStatus(platform::SVC_STATE_STOP_PENDING);
      platform::NotifyServiceStopping();
      service->HandleStop();
      service->running = false;
      service->WriteEvent(EventType::Information, EVMSG_STOPPED);
      break;
    case platform::SVC_CONTROL_PAUSE:
      service->HandlePause();
      break;
    case platform::SVC_CONTROL_CONTINUE:
      service->HandleContinue();
      break;
    case platform::SVC_CONTROL_INTERROGATE:
      service->HandleInterrogate();
      break;
    case platform::SVC_CONTROL_SHUTDOWN:
      service->HandleShutdown();
      break;
    default:
      if (code < platform::SVC_CONTROL_USER_FIRST || !service->HandleUserControl(code)) {
        service->WriteEvent(EventType::Error, EVMSG_BAD_REQUEST);
      }
      break;
  }
  std::lock_guard<std::mutex> lock(service->statusLock);
  service->Trace(TRACE_UPDATE_STATUS, service->statusHandle, service->status.currentState);
  platform::ReportServiceStatus(service->statusHandle, service->status);
}

bool CNTService::PrepareToRun() {
  SetStatus(platform::SVC_STATE_START_PENDING);
  const bool prepared = Prepare();
  const uint32_t error = LastSystemError();
  {
    std::lock_guard<std::mutex> lock(statusLock);
    status.win32ExitCode = error;
    status.checkPoint = 0;
    status.waitHint = 0;
  }
  if (!prepared) {
    WriteEvent(EventType::Error, EVMSG_FAILED_INIT);
    SetStatus(platform::SVC_STATE_STOPPED);
    return false;
  }
  WriteEvent(EventType::Information, EVMSG_STARTED);
  // Set before running is reported: a stop that comes as soon as the manager sees the service running
  // must find the flag set, or clearing it would be undone and the stop lost.
  running = true;
  SetStatus(platform::SVC_STATE_RUNNING);
  return true;
}

void CNTService::SetStatus(uint32_t state) {
  std::lock_guard<std::mutex> lock(statusLock);
  Trace(TRACE_SET_STATUS, statusHandle, state);
  status.currentState = state;
  platform::ReportServiceStatus(statusHandle, status);
}

platform::SERVICE_STATUS_RECORD CNTService::CurrentStatus() const {
  std::lock_guard<std::mutex> lock(statusLock);
  return status;
}

bool CNTService::OpenEventSource() {
  std::lock_guard<std::mutex> lock(eventSourceLock);
  if (eventSource.IsOpen()) return true;
  // A failed open is tried again by the next event.
  return eventSource.Open(name, EVENT_MESSAGES);
}

void CNTService::WriteEvent(EventType type, uint32_t id, const WCHAR* insertion) {
  if (!OpenEventSource()) return;
  // The source stays open until the object is destroyed, so reporting needs no lock of ours.
  eventSource.Report(type, id, insertion);
}

void CNTService::WriteFormattedTextEvent(const WCHAR* format, std::span<const CFormatArg> args) noexcept {
  // Called from catch blocks of every thread: a failure here (even of memory) writes nothing.
  try {
    WString text;
    if (!FormatWide(format, args, &text) || text.empty()) return;
    WriteEvent(EventType::Warning, EVMSG_TEXT, text.c_str());
  } catch (const std::exception&) {
  }
}

void CNTService::WriteInformationText(const WString& text) noexcept {
  try {
    if (!text.empty()) WriteEvent(EventType::Information, EVMSG_TEXT, text.c_str());
  } catch (const std::exception&) {
  }
}

void CNTService::TraceFormatted(const WCHAR* format, std::span<const CFormatArg> args) noexcept {
  try {
    WString text;
    if (FormatWide(format, args, &text)) platform::DebugTrace(text);
  } catch (const std::exception&) {
  }
}

void CNTService::PrintFormatted(FILE* stream, const WCHAR* format, std::span<const CFormatArg> args) {
  WString text;
  if (!FormatWide(format, args, &text)) return;
  const std::string output = WideToUtf8(text);
  std::fwrite(output.data(), 1, output.size(), stream);
  std::fflush(stream);
}

int CNTService::CheckConfiguration() { return OPTION_EXIT_OK; }

std::optional<int> CNTService::HandleCommandLine(int argc, WCHAR** argv) {
  if (argc < 2 || argv == nullptr || argv[1] == nullptr) return std::nullopt;
  int first = 1;
  // "-c FILE" comes first; the option (or none, for the service) after it.
  if (OptionIs(argv[1], OPTION_CONFIGURATION)) {
    if (argc < 3 || argv[2] == nullptr || argv[2][0] == 0) {
      PrintError(MESSAGE_OPTION_NEEDS_FILE, name);
      PrintError(MESSAGE_USAGE, name);
      return OPTION_EXIT_USAGE;
    }
    SetConfigurationFile(WideToUtf8(argv[2]));
    first = 3;
  }
  if (first >= argc || argv[first] == nullptr) return std::nullopt;
  const WCHAR* option = argv[first];
  if (OptionIs(option, OPTION_VERSION)) {
    Print(MESSAGE_VERSION, name, versionMajor, versionMinor);
    Print(MESSAGE_RELEASE, AsciiToWide(OSTRIN_RELEASE_VERSION));
    const bool installed = QueryInstalled();
    Print(MESSAGE_INSTALLED_STATE, installed ? WORD_CURRENTLY : WORD_NOT);
    return OPTION_EXIT_OK;
  }
  if (OptionIs(option, OPTION_INSTALL)) {
    const bool verbose = first + 1 < argc && argv[first + 1] != nullptr && OptionIs(argv[first + 1], OPTION_VERBOSE);
    return InstallService(verbose);
  }
  if (OptionIs(option, OPTION_REMOVE)) return RemoveService();
  if (OptionIs(option, OPTION_CHECK)) return CheckConfiguration();
  if (OptionIs(option, OPTION_HELP_SHORT) || OptionIs(option, OPTION_HELP)) {
    Print(MESSAGE_USAGE, name);
    return OPTION_EXIT_OK;
  }
  // Any other option is a mistake; an argument that is no option runs the service, as none does.
  if (option[0] == '-') {
    PrintError(MESSAGE_UNKNOWN_OPTION, name, option);
    PrintError(MESSAGE_USAGE, name);
    return OPTION_EXIT_USAGE;
  }
  return std::nullopt;
}

bool CNTService::QueryInstalled() {
  platform::CServiceManager manager;
  return manager.Open() && manager.IsServiceInstalled(name);
}

int CNTService::InstallService(bool verbose) {
  if (QueryInstalled()) {
    Print(MESSAGE_ALREADY_INSTALLED, name);
    return OPTION_EXIT_OK;
  }
  // Each failure's code is kept at once: closing handles and writing events may change the last error.
  uint32_t error = 0;
  platform::CServiceManager manager;
  WString modulePath;
  if (!manager.Open()) {
    error = LastSystemError();
  } else if (!platform::GetModulePath(&modulePath)) {
    error = LastSystemError();
  } else {
    if (verbose) Print(MESSAGE_MODULE_PATH, modulePath);
    // The service reads the file "-c" named when it was installed, wherever it is started from.
    std::vector<WString> arguments;
    if (ConfigurationFileNamed()) {
      std::error_code ignored;
      const std::filesystem::path file = std::filesystem::absolute(ConfigurationFile(), ignored);
      arguments = {WString(OPTION_CONFIGURATION), Utf8ToWide(file.string())};
    }
    if (!manager.InstallAutoStartService(name, OSTRIN_SERVICE_DESCRIPTION, modulePath, arguments)) {
      error = LastSystemError();
    } else if (!platform::RegisterEventLogSource(name, modulePath)) {
      error = LastSystemError();
    } else {
      WriteEvent(EventType::Information, EVMSG_INSTALLED, name);
      Print(MESSAGE_INSTALL_DONE, name);
      return OPTION_EXIT_OK;
    }
  }
  Print(MESSAGE_INSTALL_FAILED, name, error);
  return OPTION_EXIT_FAILED;
}

int CNTService::RemoveService() {
  if (!QueryInstalled()) {
    Print(MESSAGE_NOT_INSTALLED, name);
    return OPTION_EXIT_OK;
  }
  uint32_t error = 0;
  platform::CServiceManager manager;
  platform::CService service;
  if (!manager.Open()) {
    error = LastSystemError();
  } else if (!manager.OpenServiceForDelete(name, &service)) {
    error = LastSystemError();
  } else if (!service.Delete()) {
    error = LastSystemError();
    WriteEvent(EventType::Error, EVMSG_NOT_REMOVED, name);
  } else {
    WriteEvent(EventType::Information, EVMSG_REMOVED, name);
    WString modulePath;
    platform::GetModulePath(&modulePath);
    Print(MESSAGE_REMOVE_DONE, name, modulePath);
    return OPTION_EXIT_OK;
  }
  Print(MESSAGE_REMOVE_FAILED, name, error);
  return OPTION_EXIT_FAILED;
}

int RunServiceProcess(CNTService& service, int argc, WCHAR** argv) {
  if (const std::optional<int> optionExit = service.HandleCommandLine(argc, argv)) return *optionExit;
  // Outside a service manager the Windows dispatcher fails at once (unless a test named its stop
  // event); the process then ends quietly.
  platform::StartServiceDispatcher(service.name, &CNTService::ServiceEntry);
  return static_cast<int>(service.CurrentStatus().win32ExitCode);
}
