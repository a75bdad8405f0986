// Running a program (the volume maker, sleuthkit tools, the ostrin command) from a test and taking its
// output.
#pragma once

#include <string>
#include <vector>

namespace ostrin::test {

struct SProgramResult {
  int exitCode = -1;  // -1 when the program could not be started; on Linux 128 + the signal that killed it
  std::string out;    // everything it wrote to standard output
  std::string err;    // everything it wrote to standard error
};

// Runs argv[0] (searched in PATH, then in /usr/sbin and /sbin) with TZ=UTC added to the environment
// and waits for it. Never throws for a failing program; look at exitCode.
SProgramResult RunProgram(const std::vector<std::string>& argv);

}  // namespace ostrin::test
