// Conversions between UTF-16 text (WString) and UTF-8, and small helpers on UTF-16 text.
#pragma once

#include <string>
#include <string_view>

#include "platform/types.h"

// UTF-8 to UTF-16; a byte that does not start a valid sequence becomes U+FFFD.
inline WString Utf8ToWide(std::string_view text) {
  WString out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    uint32_t cp = lead;
    size_t extra = 0;
    if (lead >= 0xF0 && lead <= 0xF4) {
      cp = lead & 0x07;
      extra = 3;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      cp = lead & 0x0F;
      extra = 2;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      cp = lead & 0x1F;
      extra = 1;
    } else if (lead >= 0x80) {
      out.push_back(static_cast<WCHAR>(0xFFFD));
      ++i;
      continue;
    }
    bool valid = i + extra < text.size() || extra == 0;
    for (size_t k = 1; valid && k <= extra; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      valid = (next & 0xC0) == 0x80;
      cp = (cp << 6) | (next & 0x3F);
    }
    if (!valid || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
      out.push_back(static_cast<WCHAR>(0xFFFD));
      ++i;
      continue;
    }
    i += extra + 1;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<WCHAR>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<WCHAR>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<WCHAR>(cp));
    }
  }
  return out;
}

// UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD.
inline std::string WideToUtf8(std::basic_string_view<WCHAR> text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t cp = static_cast<uint16_t>(text[i]);
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < text.size() && static_cast<uint16_t>(text[i + 1]) >= 0xDC00 &&
        static_cast<uint16_t>(text[i + 1]) <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (static_cast<uint16_t>(text[i + 1]) - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = 0xFFFD;
    }
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
  return out;
}

// Plain ASCII text to UTF-16 (for texts the system fixes, which are all ASCII).
inline WString AsciiToWide(std::string_view text) { return WString(text.begin(), text.end()); }

// Folds the ASCII letters A..Z to a..z and leaves every other unit alone.
constexpr WCHAR AsciiLower(WCHAR c) { return (c >= 'A' && c <= 'Z') ? static_cast<WCHAR>(c - 'A' + 'a') : c; }

// Folds the ASCII letters a..z to A..Z and leaves every other unit alone.
constexpr WCHAR AsciiUpper(WCHAR c) { return (c >= 'a' && c <= 'z') ? static_cast<WCHAR>(c - 'a' + 'A') : c; }
