// Large memory on Windows: committed virtual memory of its own (large pages take a privilege the
// service does not ask for).
#include "platform/large_memory.h"

#include <windows.h>

namespace ostrin::platform {

void* AllocateLarge(size_t bytes) {
  return VirtualAlloc(nullptr, bytes == 0 ? 1 : bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void FreeLarge(void* memory, size_t) noexcept {
  if (memory != nullptr) VirtualFree(memory, 0, MEM_RELEASE);
}

}  // namespace ostrin::platform
