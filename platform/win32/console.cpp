// The console on Windows.
#include "platform/console.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

namespace ostrin::platform {

bool IsTerminal(FILE* stream) { return _isatty(_fileno(stream)) != 0; }

void UseUtf8Output(FILE* stream) {
  if (stream == stdout) SetConsoleOutputCP(CP_UTF8);
  _setmode(_fileno(stream), _O_BINARY);
}

}  // namespace ostrin::platform
