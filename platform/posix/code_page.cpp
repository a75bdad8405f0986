// Narrow text on Linux is UTF-8.
#include "platform/code_page.h"

#include "platform/text.h"

namespace ostrin::platform {

std::string WideToAnsiCodePage(std::basic_string_view<WCHAR> text) { return WideToUtf8(text); }

}  // namespace ostrin::platform
