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
  // "port": a whole number from 1 to 65535.
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
  // Values that cannot be used, one text each with its line ("line 4: keep = soon: not a whole number
  // of seconds ..."); such a line leaves its default. The service does not start with any.
  std::vector<std::string> errors;
  // Lines that are left out, such as an unknown key ("line 2: unknown key volme.S (the line is left
  // out)"); the service starts with a warning event for each.
  std::vector<std::string> warnings;
  // Whether the file could be opened (without it every default holds).
  bool fileRead = false;

  // The mapped path of a letter (either case), or empty when the letter is not mapped.
  const std::string& VolumeOf(WCHAR letter) const;
};

// Reads the configuration from a file; a file that cannot be opened leaves every default. Lines are
// read whole, whatever their length. Blanks around lines, keys and values are ignored; a '#' at the
// start of a line or after a blank begins a comment that runs to the line's end (a '#' inside a
// word, as in a path, is kept); keys are compared without ASCII case; a key given twice takes its
// last value.
COstrinConfiguration ReadConfigurationFile(const char* path);
// The same for the process's configuration file: CONFIGURATION_FILE in the current directory, or the
// file that SetConfigurationFile named ("OstrinNT -c FILE"; called before any thread starts).
COstrinConfiguration ReadConfigurationFile();
void SetConfigurationFile(std::string path);
const std::string& ConfigurationFile();
// Whether the file was named: a named file that cannot be read is an error, the default one is not.
bool ConfigurationFileNamed();
