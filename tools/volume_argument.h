// How the tools name a volume: a drive letter ("C" or "C:") or the path of a device or image file.
#pragma once

#include <optional>
#include <string>

#include "platform/types.h"

// The drive letter an argument names, or nothing when it names a path.
inline std::optional<WCHAR> DriveLetterArgument(const std::string& argument) {
  const bool letterOnly = argument.size() == 1 || (argument.size() == 2 && argument[1] == ':');
  const char letter = argument.empty() ? '\0' : argument[0];
  if (letterOnly && ((letter >= 'A' && letter <= 'Z') || (letter >= 'a' && letter <= 'z'))) {
    return static_cast<WCHAR>(letter);
  }
  return std::nullopt;
}
