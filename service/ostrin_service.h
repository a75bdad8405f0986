// The OstrinNT service: the service framework with the command server as its main work.
#pragma once

#include "service/nt_service.h"
#include "service/service_constants.h"

class COstrinService : public CNTService {
 public:
  COstrinService() : CNTService(OSTRIN_SERVICE_NAME, OSTRIN_VERSION_MAJOR, OSTRIN_VERSION_MINOR) {}

  // Checks the configuration before the service counts as started: values that cannot be used are
  // written as events and end the process with exit code 1; unknown keys are warning events.
  bool Prepare() override;
  // Runs the command server until the stop control clears `running` (service/command_server.cpp).
  void Serve() override;
  // "-t": prints the port and each letter's volume, opening each; 1 when a value cannot be used or a
  // volume cannot be opened as NTFS.
  int CheckConfiguration() override;
};
