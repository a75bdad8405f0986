// Just enough JSON for ostrin's --json output: objects, arrays, strings, numbers and booleans,
// written straight to a stream with commas placed by the writer.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

class CJsonWriter {
 public:
  explicit CJsonWriter(FILE* stream) : m_stream(stream) {}

  void BeginObject() { Open('{'); }
  void EndObject() { Close('}'); }
  void BeginArray() { Open('['); }
  void EndArray() { Close(']'); }
  // The key of the next value of an object.
  void Key(std::string_view key) {
    Separate();
    WriteString(key);
    std::fputc(':', m_stream);
    m_afterKey = true;
  }
  void String(std::string_view text) { Separate(); WriteString(text); }
  void Number(uint64_t value) { Separate(); std::fprintf(m_stream, "%llu", static_cast<unsigned long long>(value)); }
  void Number(int64_t value) { Separate(); std::fprintf(m_stream, "%lld", static_cast<long long>(value)); }
  void Bool(bool value) { Separate(); std::fputs(value ? "true" : "false", m_stream); }
  // Ends the document with a line feed.
  void Finish() { std::fputc('\n', m_stream); }

 private:
  void Open(char bracket) {
    Separate();
    std::fputc(bracket, m_stream);
    m_first.push_back(true);
  }
  void Close(char bracket) {
    m_first.pop_back();
    std::fputc(bracket, m_stream);
  }
  void Separate() {
    if (m_afterKey) {
      m_afterKey = false;
      return;
    }
    if (m_first.empty()) return;
    if (!m_first.back()) std::fputc(',', m_stream);
    m_first.back() = false;
  }
  // UTF-8 text as a JSON string: quotes, backslashes and control characters escaped.
  void WriteString(std::string_view text) {
    std::fputc('"', m_stream);
    for (const char c : text) {
      const auto unit = static_cast<unsigned char>(c);
      if (c == '"' || c == '\\') {
        std::fputc('\\', m_stream);
        std::fputc(c, m_stream);
      } else if (unit < 0x20) {
        std::fprintf(m_stream, "\\u%04x", unit);
      } else {
        std::fputc(c, m_stream);
      }
    }
    std::fputc('"', m_stream);
  }

  FILE* m_stream;
  std::vector<bool> m_first;  // per open object or array: no value written yet
  bool m_afterKey = false;
};
