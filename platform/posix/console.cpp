// The console on POSIX.
#include "platform/console.h"

#include <unistd.h>

namespace ostrin::platform {

bool IsTerminal(FILE* stream) { return isatty(fileno(stream)) != 0; }

void UseUtf8Output(FILE* /*stream*/) {}

}  // namespace ostrin::platform
