// The system's event log (the Windows event log, syslog on Linux) and the debug trace.
#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include "platform/types.h"

namespace ostrin::platform {

// The record types the service writes, with the Windows event-log values.
enum class EventType : uint16_t {
  Error = 0x0001,
  Warning = 0x0002,
  Information = 0x0004,
};

// One message of the program's message table: its id and its text (UTF-8, without the trailing CR LF),
// in which %1 stands for the insertion string.
struct EventMessage {
  uint32_t id;
  const char* text;
};

// An open event source. Report may be called from any thread at once; Open and Close may not run
// beside any other call on the same source.
class CEventSource {
 public:
  CEventSource();
  ~CEventSource();
  CEventSource(const CEventSource&) = delete;
  CEventSource& operator=(const CEventSource&) = delete;

  // Opens the source registered under name. On Windows the event log takes the texts from the message
  // file registered for the source; on Linux the records go to syslog (ident name, facility daemon)
  // with their texts taken from messages. On both, when the environment variable OSTRIN_EVENT_LOG
  // names a file, each record is also appended to it as one UTF-8 line "<ISO time> <type> <id> <text>"
  // with its text taken from messages (which must outlive the source). Returns false with the
  // system's last error set when the source cannot be opened.
  bool Open(const WString& name, std::span<const EventMessage> messages);
  bool IsOpen() const;
  void Close();

  // Writes one record with category 0, no user and no raw data; insertion may be null (no insertion
  // string). Returns false when the record could not be written.
  bool Report(EventType type, uint32_t id, const WCHAR* insertion) const;

 private:
  struct Handle;
  std::unique_ptr<Handle> m_handle;
};

// True when the environment variable OSTRIN_TRACE is set to a non-empty value; read once.
bool DebugTraceEnabled();

// Writes one line of debug trace: OutputDebugStringW on Windows, standard error on Linux.
void DebugTrace(const WString& text);

}  // namespace ostrin::platform
