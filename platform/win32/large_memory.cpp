// Large memory on Windows: committed virtual memory of its own (large pages take a privilege the
// service does not ask for). A kept block is reset (MEM_RESET): its pages may go, their contents are
// not kept for it.
#include "platform/large_memory.h"

#include <windows.h>

namespace ostrin::platform {

void* AllocateSystemMemory(size_t bytes) {
  return VirtualAlloc(nullptr, bytes == 0 ? 1 : bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void FreeSystemMemory(void* memory, size_t) noexcept {
  if (memory != nullptr) VirtualFree(memory, 0, MEM_RELEASE);
}

void LetSystemTakePages(void* memory, size_t bytes) noexcept { VirtualAlloc(memory, bytes, MEM_RESET, PAGE_READWRITE); }

}  // namespace ostrin::platform
