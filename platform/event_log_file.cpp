// The event log's copy in a file, and the expansion of a record's message.
#include "platform/event_log_file.h"

#include <chrono>
#include <cstdio>

#include "platform/text.h"

namespace ostrin::platform {

const char* EventTypeWord(EventType type) {
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

namespace {

// Now in UTC as "YYYY-MM-DDThh:mm:ss.mmmZ", by the civil calendar of the days since 1970.
std::string IsoTimeNow() {
  using namespace std::chrono;
  const auto now = floor<milliseconds>(system_clock::now());
  const auto days = floor<std::chrono::days>(now);
  const year_month_day date{days};
  const hh_mm_ss<milliseconds> time{now - days};
  char text[40] = {};
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                static_cast<int>(time.seconds().count()), static_cast<int>(time.subseconds().count()));
  return text;
}

}  // namespace

std::string ExpandEventMessage(std::span<const EventMessage> messages, uint32_t id, const WCHAR* insertion) {
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

bool CEventLogFile::Open(const std::filesystem::path& path) {
  std::lock_guard<std::mutex> lock(m_lock);
  m_file.open(path, std::ios::out | std::ios::app | std::ios::binary);
  return m_file.is_open();
}

bool CEventLogFile::Append(EventType type, uint32_t id, const std::string& text) {
  const std::string line = IsoTimeNow() + ' ' + EventTypeWord(type) + ' ' + std::to_string(id) + ' ' + text + '\n';
  std::lock_guard<std::mutex> lock(m_lock);
  if (!m_file.is_open()) return false;
  // Flushed at once: a reader of the file sees each record as soon as it is reported.
  m_file.write(line.data(), static_cast<std::streamsize>(line.size()));
  m_file.flush();
  return static_cast<bool>(m_file);
}

}  // namespace ostrin::platform
