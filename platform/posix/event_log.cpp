// The event log on POSIX: syslog, and one line per record in the file named by OSTRIN_EVENT_LOG.
#include "platform/event_log.h"

#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <string>

#include "common/text.h"
#include "platform/posix/unique_fd.h"

namespace ostrin::platform {

namespace {

const char* TypeWord(EventType type) {
  switch (type) {
    case EventType::Error:
      return "error";
    case EventType::Warning:
      return "warning";
    case EventType::Information:
      return "information";
  }
  return "unknown";
}

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

// The record's text as the Windows event viewer shows it: the message with %1 replaced by the insertion
// string (left as it is when there is none) and %% as one percent sign. An id missing from the table
// shows the insertion string alone. Line breaks become blanks, so that every record stays one line.
std::string ExpandMessage(std::span<const EventMessage> messages, uint32_t id, const WCHAR* insertion) {
  const std::string value = insertion != nullptr ? WideToUtf8(insertion) : std::string();
  const char* text = nullptr;
  for (const EventMessage& message : messages) {
    if (message.id == id) text = message.text;
  }
  std::string out;
  if (text == nullptr) {
    out = value;
  } else {
    for (const char* p = text; *p != '\0'; ++p) {
      if (p[0] == '%' && p[1] == '1' && insertion != nullptr) {
        out += value;
        ++p;
      } else if (p[0] == '%' && p[1] == '%') {
        out += '%';
        ++p;
      } else {
        out += *p;
      }
    }
  }
  while (!out.empty() && (out.back() == '\r' || out.back() == '\n')) out.pop_back();
  for (char& c : out) {
    if (c == '\r' || c == '\n') c = ' ';
  }
  return out;
}

std::string IsoTimeNow() {
  timespec now = {};
  clock_gettime(CLOCK_REALTIME, &now);
  tm parts = {};
  gmtime_r(&now.tv_sec, &parts);
  char text[40] = {};
  const size_t length = strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &parts);
  snprintf(text + length, sizeof text - length, ".%03ldZ", static_cast<long>(now.tv_nsec / 1000000));
  return text;
}

}  // namespace

struct CEventSource::Handle {
  std::string ident;  // syslog keeps the pointer, so the text lives as long as the source
  std::span<const EventMessage> messages;
  UniqueFd file;
  std::mutex fileLock;
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
    handle->file.Reset(::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
    // syslog still gets the records when the copy cannot be written.
    if (!handle->file.IsValid() && DebugTraceEnabled()) {
      DebugTrace(WTEXT("event log file cannot be opened: ") + Utf8ToWide(path));
    }
  }
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
  const std::string text = ExpandMessage(m_handle->messages, id, insertion);
  syslog(SyslogPriority(type), "%s", text.c_str());
  if (!m_handle->file.IsValid()) return true;

  const std::string line = IsoTimeNow() + ' ' + TypeWord(type) + ' ' + std::to_string(id) + ' ' + text + '\n';
  // One write per record on an O_APPEND descriptor keeps records whole; the lock keeps a short write's
  // remainder next to its beginning.
  std::lock_guard<std::mutex> lock(m_handle->fileLock);
  size_t written = 0;
  while (written < line.size()) {
    const ssize_t n = ::write(m_handle->file.Get(), line.data() + written, line.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    written += static_cast<size_t>(n);
  }
  return true;
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
