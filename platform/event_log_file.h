// The copy of the event log that tests read: one UTF-8 line per record, in the file named by the
// environment variable OSTRIN_EVENT_LOG, on every platform. Used by the event sources of platform/.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <span>
#include <string>

#include "platform/event_log.h"

namespace ostrin::platform {

// The record's text as the Windows event viewer shows it: the message with %1 replaced by the insertion
// string (left as it is when there is none) and %% as one percent sign. An id missing from the table
// shows the insertion string alone. Line breaks become blanks, so that every record stays one line.
std::string ExpandEventMessage(std::span<const EventMessage> messages, uint32_t id, const WCHAR* insertion);

// A record's type as its line names it: "error", "warning" or "information".
const char* EventTypeWord(EventType type);

class CEventLogFile {
 public:
  // Opens the file for appending; false when it cannot be opened (records then go only to the log).
  bool Open(const std::filesystem::path& path);
  bool IsOpen() const { return m_file.is_open(); }
  // Appends "<ISO time> <type> <id> <text>" as one line; false when it could not be written.
  bool Append(EventType type, uint32_t id, const std::string& text);

 private:
  std::mutex m_lock;  // one record's line is written whole before the next
  std::ofstream m_file;
};

}  // namespace ostrin::platform
