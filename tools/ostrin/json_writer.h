// Just enough JSON for ostrin's --json output: objects, arrays, strings, numbers, booleans and null, with
// commas placed by the writer. The document is written as it goes, through a small buffer, so its
// size costs no memory; a command that fails half way closes what is open and says so in the document.
#pragma once

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

class CJsonWriter {
 public:
  explicit CJsonWriter(FILE* stream) : m_stream(stream) {}
  CJsonWriter(const CJsonWriter&) = delete;
  CJsonWriter& operator=(const CJsonWriter&) = delete;
  ~CJsonWriter() { Flush(); }

  void BeginObject() { Open('{'); }
  void EndObject() { Close('}'); }
  void BeginArray() { Open('['); }
  void EndArray() { Close(']'); }
  // The key of the next value of an object.
  void Key(std::string_view key) {
    Separate();
    WriteString(key);
    m_text.push_back(':');
    m_afterKey = true;
  }
  void String(std::string_view text) { Separate(); WriteString(text); Spill(); }
  void Number(uint64_t value) { Separate(); m_text += std::to_string(value); }
  void Number(int64_t value) { Separate(); m_text += std::to_string(value); }
  void Bool(bool value) { Separate(); m_text += value ? "true" : "false"; }
  void Null() { Separate(); m_text += "null"; }
  // The errno of the first write that failed, or 0.
  int WriteError() const { return m_writeError; }
  // How many objects and arrays are open.
  size_t Depth() const { return m_first.size(); }
  // Ends the document with a line feed and writes what is buffered.
  void Finish() {
    m_text.push_back('\n');
    Flush();
  }

 private:
  static constexpr size_t BUFFER_BYTES = 64 * 1024;

  void Open(char bracket) {
    Separate();
    m_text.push_back(bracket);
    m_first.push_back(true);
  }
  void Close(char bracket) {
    m_first.pop_back();
    m_text.push_back(bracket);
    Spill();
  }
  void Separate() {
    if (m_afterKey) {
      m_afterKey = false;
      return;
    }
    if (m_first.empty()) return;
    if (!m_first.back()) m_text.push_back(',');
    m_first.back() = false;
  }
  // UTF-8 text as a JSON string: quotes, backslashes and control characters escaped.
  void WriteString(std::string_view text) {
    m_text.push_back('"');
    for (const char c : text) {
      const auto unit = static_cast<unsigned char>(c);
      if (c == '"' || c == '\\') {
        m_text.push_back('\\');
        m_text.push_back(c);
      } else if (unit < 0x20) {
        char escape[8];
        std::snprintf(escape, sizeof escape, "\\u%04x", unit);
        m_text += escape;
      } else {
        m_text.push_back(c);
      }
    }
    m_text.push_back('"');
  }
  void Spill() {
    if (m_text.size() >= BUFFER_BYTES) Flush();
  }
  void Flush() {
    errno = 0;
    if (!m_text.empty() && std::fwrite(m_text.data(), 1, m_text.size(), m_stream) != m_text.size() &&
        m_writeError == 0) {
      m_writeError = errno;
    }
    m_text.clear();
  }

  FILE* m_stream;
  std::string m_text;
  std::vector<bool> m_first;  // per open object or array: no value written yet
  bool m_afterKey = false;
  int m_writeError = 0;
};
