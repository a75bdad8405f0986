// Just enough JSON for ostrin's --json output: objects, arrays, strings, numbers, booleans and null, with
// commas placed by the writer. The document is kept until Finish writes it, so a command that fails
// half way prints its error instead of half a document.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

class CJsonWriter {
 public:
  CJsonWriter() = default;

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
  void String(std::string_view text) { Separate(); WriteString(text); }
  void Number(uint64_t value) { Separate(); m_text += std::to_string(value); }
  void Number(int64_t value) { Separate(); m_text += std::to_string(value); }
  void Bool(bool value) { Separate(); m_text += value ? "true" : "false"; }
  void Null() { Separate(); m_text += "null"; }
  // Writes the document and a line feed to the stream.
  void Finish(FILE* stream) {
    std::fwrite(m_text.data(), 1, m_text.size(), stream);
    std::fputc('\n', stream);
  }

 private:
  void Open(char bracket) {
    Separate();
    m_text.push_back(bracket);
    m_first.push_back(true);
  }
  void Close(char bracket) {
    m_first.pop_back();
    m_text.push_back(bracket);
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

  std::string m_text;
  std::vector<bool> m_first;  // per open object or array: no value written yet
  bool m_afterKey = false;
};
