// The OstrinNT service: the service framework with the command server as its main work.
#pragma once

#include "service/nt_service.h"
#include "service/service_constants.h"

class COstrinService : public CNTService {
 public:
  COstrinService() : CNTService(OSTRIN_SERVICE_NAME, OSTRIN_VERSION_MAJOR, OSTRIN_VERSION_MINOR) {}

  // Runs the command server until the stop control clears `running` (service/command_server.cpp).
  void Serve() override;
  // "-t": prints the port and each letter's volume, opening each; 1 when a value cannot be used or a
  // volume cannot be opened as NTFS.
  int CheckConfiguration() override;
};
