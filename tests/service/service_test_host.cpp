// A service program for the tests: the service framework around a main work that waits for the stop.
#include <chrono>
#include <thread>

#include "platform/program_entry.h"
#include "service/nt_service.h"
#include "service/service_constants.h"

namespace {

class CTestService : public CNTService {
 public:
  CTestService() : CNTService(OSTRIN_SERVICE_NAME, OSTRIN_VERSION_MAJOR, OSTRIN_VERSION_MINOR) {}

  void Serve() override {
    while (running) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
};

// Built before the entry point, as the real service object is.
CTestService g_service;

}  // namespace

int ProgramMain(int argc, WCHAR** argv) { return RunServiceProcess(g_service, argc, argv); }
