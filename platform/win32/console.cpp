// The console on Windows.
#include "platform/console.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

namespace ostrin::platform {

// _isatty also calls the NUL device a terminal; only a console has a console mode.
bool IsTerminal(FILE* stream) {
  const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
  DWORD mode = 0;
  return handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode) != 0;
}

void UseUtf8Output(FILE* stream) {
  if (stream == stdout) SetConsoleOutputCP(CP_UTF8);
  _setmode(_fileno(stream), _O_BINARY);
}

}  // namespace ostrin::platform
