// OstrinNT: the command-line options, or else the service with the command server as its main work.
#include "platform/program_entry.h"
#include "service/nt_service.h"
#include "service/ostrin_service.h"

namespace {

// The one service object of the process, built before the entry point runs.
COstrinService theService;

}  // namespace

int ProgramMain(int argc, WCHAR** argv) { return RunServiceProcess(theService, argc, argv); }
