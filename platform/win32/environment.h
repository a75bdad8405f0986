// Environment variables on Windows, read as the wide strings the system keeps.
#pragma once

#include <windows.h>

#include <string>

namespace ostrin::platform {

// The value of an environment variable; empty when it is not set.
inline std::wstring EnvironmentValue(const wchar_t* name) {
  std::wstring value(256, L'\0');
  for (;;) {
    // Too small a buffer: the length asked for counts the terminating NUL, and the next call fits.
    const DWORD length = GetEnvironmentVariableW(name, value.data(), static_cast<DWORD>(value.size()));
    if (length < value.size()) {
      value.resize(length);
      return value;
    }
    value.resize(length);
  }
}

}  // namespace ostrin::platform
