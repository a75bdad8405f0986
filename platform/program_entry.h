// The process entry of a program that takes its arguments as UTF-16 text on every platform.
#pragma once

#include "platform/types.h"

// Defined by the program; called by the platform's entry point (main on Linux, with the arguments
// converted from UTF-8; wmain on Windows) with the arguments, the program's own name first. Its result
// is the process exit code.
int ProgramMain(int argc, WCHAR** argv);
