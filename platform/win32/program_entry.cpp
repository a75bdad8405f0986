// The process entry on Windows: wmain receives the arguments as UTF-16 already (link with -municode).
#include "platform/program_entry.h"

int wmain(int argc, wchar_t** argv) { return ProgramMain(argc, argv); }
