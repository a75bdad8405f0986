// The program's own path on Windows: GetModuleFileNameW.
#include "platform/module_path.h"

#include <windows.h>

namespace ostrin::platform {

bool GetModulePath(WString* path) {
  WString buffer(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) return false;
    // A full buffer means the path was cut; a longer one holds it whole.
    if (length < buffer.size()) {
      buffer.resize(length);
      break;
    }
    if (buffer.size() >= 32768) {
      SetLastError(ERROR_INSUFFICIENT_BUFFER);
      return false;
    }
    buffer.resize(buffer.size() * 2);
  }
  *path = buffer;
  return true;
}

}  // namespace ostrin::platform
