// The event log on POSIX: syslog, and one line per record in the file named by OSTRIN_EVENT_LOG. A
// service started by hand (not by systemd, which names each start in INVOCATION_ID) also writes each
// record to standard error, where its user sees it when no syslog runs.
#include "platform/event_log.h"

#include <syslog.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "platform/text.h"
#include "platform/event_log_file.h"

namespace ostrin::platform {

namespace {

int SyslogPriority(EventType type) {
  switch (type) {
    case EventType::Error:
      return LOG_ERR;
    case EventType::Warning:
      return LOG_WARNING;
    case EventType::Information:
      return LOG_INFO;
  }
  return LOG_NOTICE;
}

}  // namespace

struct CEventSource::Handle {
  std::string ident;  // syslog keeps the pointer, so the text lives as long as the source
  std::span<const EventMessage> messages;
  CEventLogFile file;
  bool toStandardError = false;
};

CEventSource::CEventSource() = default;

CEventSource::~CEventSource() { Close(); }

bool CEventSource::Open(const WString& name, std::span<const EventMessage> messages) {
  Close();
  auto handle = std::make_unique<Handle>();
  handle->ident = WideToUtf8(name);
  handle->messages = messages;
  const char* path = std::getenv("OSTRIN_EVENT_LOG");
  if (path != nullptr && *path != '\0') {
    // syslog still gets the records when the copy cannot be written.
    if (!handle->file.Open(path) && DebugTraceEnabled()) {
      DebugTrace(WTEXT("event log file cannot be opened: ") + Utf8ToWide(path));
    }
  }
  const char* invocation = std::getenv("INVOCATION_ID");
  handle->toStandardError = invocation == nullptr || *invocation == '\0';
  openlog(handle->ident.c_str(), LOG_PID, LOG_DAEMON);
  m_handle = std::move(handle);
  return true;
}

bool CEventSource::IsOpen() const { return m_handle != nullptr; }

void CEventSource::Close() {
  if (m_handle == nullptr) return;
  closelog();
  m_handle.reset();
}

bool CEventSource::Report(EventType type, uint32_t id, const WCHAR* insertion) const {
  if (m_handle == nullptr) return false;
  const std::string text = ExpandEventMessage(m_handle->messages, id, insertion);
  syslog(SyslogPriority(type), "%s", text.c_str());
  if (m_handle->toStandardError) {
    const std::string line = m_handle->ident + ": " + EventTypeWord(type) + " " + std::to_string(id) + " " + text + "\n";
    // One write, so that records of different threads do not mix.
    const ssize_t ignored = ::write(STDERR_FILENO, line.data(), line.size());
    (void)ignored;
  }
  return !m_handle->file.IsOpen() || m_handle->file.Append(type, id, text);
}

bool DebugTraceEnabled() {
  static const bool enabled = [] {
    const char* value = std::getenv("OSTRIN_TRACE");
    return value != nullptr && *value != '\0';
  }();
  return enabled;
}

void DebugTrace(const WString& text) {
  const std::string line = WideToUtf8(text) + '\n';
  // One write, so that lines of different threads do not mix.
  const ssize_t ignored = ::write(STDERR_FILENO, line.data(), line.size());
  (void)ignored;
}

}  // namespace ostrin::platform
