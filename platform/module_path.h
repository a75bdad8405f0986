// The full path of the running program file.
#pragma once

#include "platform/types.h"

namespace ostrin::platform {

// The program's own full path, however long it is (a path cut to a fixed buffer would name another
// file). Returns false with the system's last error set when it cannot be found.
bool GetModulePath(WString* path);

}  // namespace ostrin::platform
