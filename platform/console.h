// The console the tools write to.
#pragma once

#include <cstdio>

namespace ostrin::platform {

// Whether a stream goes to a terminal (where progress bars make sense) rather than a file or pipe.
bool IsTerminal(FILE* stream);

// Makes a stream write UTF-8 text as it is (Windows consoles otherwise translate it).
void UseUtf8Output(FILE* stream);

}  // namespace ostrin::platform
