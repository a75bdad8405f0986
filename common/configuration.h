// The service's configuration file "OstrinNT.ini": the listening port, the volume of each letter, how
// long a drive is kept open after its last close, and who may read the drives.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "common/protocol.h"
#include "platform/local_user.h"
#include "platform/types.h"

// Name of the configuration file, read from the process's current directory.
inline constexpr char CONFIGURATION_FILE[] = "OstrinNT.ini";

// Port the service listens on when the file does not set one: the port the client library connects to.
inline constexpr int32_t DEFAULT_SERVICE_PORT = CLIENT_PORT;

// Connections one local user may hold at once, unless "connections_per_user" says otherwise (at most
// the service's connection entries).
inline constexpr int64_t DEFAULT_CONNECTIONS_PER_USER = 32;
inline constexpr int64_t MAX_CONNECTIONS_PER_USER = 256;

struct COstrinConfiguration {
  // "port": parsed like strtol, no range check; only the low 16 bits are used to bind.
  int32_t port = DEFAULT_SERVICE_PORT;
  // "volume.X" for X in A..Z (either case): the device or image file opened for that letter.
  std::array<std::string, 26> volumes;
  // "keep": seconds a drive stays open after its last client closed it (0: it closes at once).
  int64_t keepSeconds = 0;
  // "connections_per_user": how many connections one local user may hold at once (1 to 256).
  int64_t connectionsPerUser = DEFAULT_CONNECTIONS_PER_USER;
  // "access = volume | everyone | group NAME": who may open a drive, read its index and map its
  // section besides the service's own user. The default is the system's (volume on Linux, everyone on
  // Windows).
  ostrin::platform::CAccessRule access;
  // What was wrong with a line, one text each ("keep = soon: not a whole number of seconds"); such a
  // line leaves its default.
  std::vector<std::string> problems;

  // The mapped path of a letter (either case), or empty when the letter is not mapped.
  const std::string& VolumeOf(WCHAR letter) const;
};

// Reads the configuration from a file; a file that cannot be opened leaves every default.
// Lines are read in pieces of at most 255 bytes; blanks around lines, keys and values are ignored;
// lines starting with '#' and lines without '=' are skipped; keys are compared without ASCII case;
// a key given twice takes its last value.
COstrinConfiguration ReadConfigurationFile(const char* path = CONFIGURATION_FILE);
