// Process memory on Linux: VmRSS and VmHWM of /proc/self/status.
#include "platform/process_memory.h"

#include <cstdio>
#include <cstring>

namespace ostrin::platform {

CProcessMemory ProcessMemory() {
  CProcessMemory memory;
  std::FILE* status = std::fopen("/proc/self/status", "re");
  if (status == nullptr) return memory;
  char line[256];
  while (std::fgets(line, sizeof line, status) != nullptr) {
    unsigned long long kib = 0;
    if (std::sscanf(line, "VmRSS: %llu kB", &kib) == 1) memory.resident = kib * 1024;
    if (std::sscanf(line, "VmHWM: %llu kB", &kib) == 1) memory.peakResident = kib * 1024;
  }
  std::fclose(status);
  return memory;
}

}  // namespace ostrin::platform
