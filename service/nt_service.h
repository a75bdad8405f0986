// The service framework: turns a program into a service of the platform's service manager, reports its
// state, maps control codes to overridable operations and writes event-log records from any thread.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <optional>
#include <span>

#include "platform/event_log.h"
#include "platform/service_control.h"
#include "platform/types.h"
#include "service/service_constants.h"
#include "service/wide_format.h"

class CNTService {
 public:
  // Makes this object the process's service object (instance). The name is cut to fit its field.
  CNTService(const WCHAR* serviceName, int32_t major, int32_t minor);
  virtual ~CNTService();
  CNTService(const CNTService&) = delete;
  CNTService& operator=(const CNTService&) = delete;

  // The main work; returns when the service is to end. Called on the service thread once the service
  // reports running; it watches `running`.
  virtual void Serve();
  // Start-up work before the service reports running; false fails the start.
  virtual bool Prepare();
  virtual void HandleStop();
  virtual void HandleInterrogate();
  virtual void HandlePause();
  virtual void HandleContinue();
  virtual void HandleShutdown();
  // A control code of 128 or above; false means the code is not supported.
  virtual bool HandleUserControl(uint32_t code);

  // The service's main function, given to the control dispatcher; the arguments are not used.
  static void ServiceEntry(uint32_t argc, WCHAR** argv);
  // The control handler registered for the service.
  static void ControlHandler(uint32_t code);

  // Reports start pending, runs Prepare and reports running (event 105) or stopped (event 104).
  bool PrepareToRun();
  // Sets the current state and reports the whole status.
  void SetStatus(uint32_t state);
  // Writes one record of the program's message table; insertion may be null. Any thread.
  void WriteEvent(ostrin::platform::EventType type, uint32_t id, const WCHAR* insertion = nullptr);

  // Formats the text (see FormatWide) and writes it as event 108 of warning type; an empty text, or a
  // format that does not suit its values, writes nothing. Any thread; never throws.
  template <typename... Args>
  void WriteTextEvent(const WCHAR* format, const Args&... args) {
    const std::array<CFormatArg, sizeof...(Args)> values{CFormatArg(args)...};
    WriteFormattedTextEvent(format, values);
  }

  // Writes the text as event 108 of information type (what the service did that its admin may want
  // to know, not a fault). Any thread; never throws.
  void WriteInformationText(const WString& text) noexcept;

  // Debug trace: writes only when the environment variable OSTRIN_TRACE is set.
  template <typename... Args>
  void Trace(const WCHAR* format, const Args&... args) {
    if (!ostrin::platform::DebugTraceEnabled()) return;
    const std::array<CFormatArg, sizeof...(Args)> values{CFormatArg(args)...};
    TraceFormatted(format, values);
  }

  // Handles the options (any case): "-c FILE" first (the configuration file the process reads), then
  // "-v", "-i" ["--verbose"], "-u", "-t", "-h" or "--help" as the next argument, and any other
  // argument starting with '-' as a mistake (the usage on standard error). The process's exit code
  // when it handled an option; nothing when the service is to run.
  std::optional<int> HandleCommandLine(int argc, WCHAR** argv);
  bool QueryInstalled();
  // 0 when the service is installed (or was already), 1 when that failed.
  int InstallService(bool verbose);
  // 0 when the service is removed (or was not installed), 1 when that failed.
  int RemoveService();
  // "-t": checks the configuration and prints what it found; the process's exit code (0: all good).
  virtual int CheckConfiguration();

  // A copy of the status record as last set.
  ostrin::platform::SERVICE_STATUS_RECORD CurrentStatus() const;

  // The one service object of the process, for the two entry points that the system calls.
  static CNTService* instance;

  WCHAR name[SERVICE_NAME_CAPACITY] = {};
  int32_t versionMajor;
  int32_t versionMinor;
  // True while the main work is to go on; cleared by the stop control, read by every thread.
  std::atomic<bool> running{false};

 protected:
  // The options' output: standard output, and standard error for mistakes.
  template <typename... Args>
  static void Print(const WCHAR* format, const Args&... args) {
    const std::array<CFormatArg, sizeof...(Args)> values{CFormatArg(args)...};
    PrintFormatted(stdout, format, values);
  }
  template <typename... Args>
  static void PrintError(const WCHAR* format, const Args&... args) {
    const std::array<CFormatArg, sizeof...(Args)> values{CFormatArg(args)...};
    PrintFormatted(stderr, format, values);
  }
  static void PrintFormatted(FILE* stream, const WCHAR* format, std::span<const CFormatArg> args);

  // Written by the service thread and by the control handler's thread, always under statusLock.
  ostrin::platform::ServiceStatusHandle statusHandle = 0;
  ostrin::platform::SERVICE_STATUS_RECORD status;

 private:
  bool OpenEventSource();
  void WriteFormattedTextEvent(const WCHAR* format, std::span<const CFormatArg> args) noexcept;
  void TraceFormatted(const WCHAR* format, std::span<const CFormatArg> args) noexcept;


  mutable std::mutex statusLock;
  // Opened on the first event, once, whichever threads write at the same time.
  ostrin::platform::CEventSource eventSource;
  std::mutex eventSourceLock;
};

// The program's entry: handles a command-line option, or else runs the service under the control
// dispatcher until it has stopped. Returns the status's exit code, the process exit code.
int RunServiceProcess(CNTService& service, int argc, WCHAR** argv);
