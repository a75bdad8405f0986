// The event log on Windows: RegisterEventSourceW and ReportEventW, texts from the program's message
// table; and one line per record in the file named by OSTRIN_EVENT_LOG.
#include "platform/event_log.h"

#include <windows.h>

#include <string>

#include "platform/event_log_file.h"
#include "platform/win32/environment.h"

namespace ostrin::platform {

struct CEventSource::Handle {
  HANDLE source = nullptr;  // an event-source handle, closed by DeregisterEventSource, not CloseHandle
  std::span<const EventMessage> messages;
  CEventLogFile file;
};

CEventSource::CEventSource() = default;

CEventSource::~CEventSource() { Close(); }

bool CEventSource::Open(const WString& name, std::span<const EventMessage> messages) {
  Close();
  HANDLE source = RegisterEventSourceW(nullptr, name.c_str());
  if (source == nullptr) return false;
  m_handle = std::make_unique<Handle>();
  m_handle->source = source;
  m_handle->messages = messages;
  const std::wstring path = EnvironmentValue(L"OSTRIN_EVENT_LOG");
  // The event log still gets the records when the copy cannot be written.
  if (!path.empty() && !m_handle->file.Open(path) && DebugTraceEnabled()) {
    DebugTrace(L"event log file cannot be opened: " + path);
  }
  return true;
}

bool CEventSource::IsOpen() const { return m_handle != nullptr; }

void CEventSource::Close() {
  if (m_handle == nullptr) return;
  DeregisterEventSource(m_handle->source);
  m_handle.reset();
}

bool CEventSource::Report(EventType type, uint32_t id, const WCHAR* insertion) const {
  if (m_handle == nullptr) return false;
  LPCWSTR strings[1] = {insertion};
  const bool reported = ReportEventW(m_handle->source, static_cast<WORD>(type), 0, id, nullptr,
                                     insertion != nullptr ? 1 : 0, 0, insertion != nullptr ? strings : nullptr,
                                     nullptr) != FALSE;
  if (!m_handle->file.IsOpen()) return reported;
  return m_handle->file.Append(type, id, ExpandEventMessage(m_handle->messages, id, insertion)) && reported;
}

bool DebugTraceEnabled() {
  static const bool enabled = [] {
    wchar_t value[2] = {};
    return GetEnvironmentVariableW(L"OSTRIN_TRACE", value, 2) != 0;
  }();
  return enabled;
}

void DebugTrace(const WString& text) { OutputDebugStringW((text + L"\n").c_str()); }

}  // namespace ostrin::platform
