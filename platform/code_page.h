// Conversion of UTF-16 text to the system's narrow code page (the ANSI code page on Windows, UTF-8 on Linux).
#pragma once

#include <string>
#include <string_view>

#include "platform/types.h"

namespace ostrin::platform {

std::string WideToAnsiCodePage(std::basic_string_view<WCHAR> text);

}  // namespace ostrin::platform
