// Process memory on Windows: the working set and its peak.
#include "platform/process_memory.h"

#include <windows.h>
#include <psapi.h>

namespace ostrin::platform {

CProcessMemory ProcessMemory() {
  CProcessMemory memory;
  PROCESS_MEMORY_COUNTERS counters = {};
  counters.cb = sizeof counters;
  if (K32GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)) {
    memory.resident = counters.WorkingSetSize;
    memory.peakResident = counters.PeakWorkingSetSize;
  }
  return memory;
}

}  // namespace ostrin::platform
