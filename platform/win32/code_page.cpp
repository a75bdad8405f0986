// Narrow text on Windows: the ANSI code page (CP_ACP).
#include "platform/code_page.h"

#include <windows.h>

namespace ostrin::platform {

std::string WideToAnsiCodePage(std::basic_string_view<WCHAR> text) {
  if (text.empty()) return std::string();
  const int units = static_cast<int>(text.size());
  const int bytes = WideCharToMultiByte(CP_ACP, 0, text.data(), units, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return std::string();
  std::string out(static_cast<size_t>(bytes), '\0');
  WideCharToMultiByte(CP_ACP, 0, text.data(), units, out.data(), bytes, nullptr, nullptr);
  return out;
}

}  // namespace ostrin::platform
