// Large memory on Linux: an anonymous mapping, with transparent huge pages asked for (the systems
// that keep them in "madvise" mode give them only to memory that asks).
#include "platform/large_memory.h"

#include <sys/mman.h>

namespace ostrin::platform {

void* AllocateLarge(size_t bytes) {
  if (bytes == 0) bytes = 1;
  void* memory = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) return nullptr;
#if defined(MADV_HUGEPAGE)
  madvise(memory, bytes, MADV_HUGEPAGE);  // a hint: without huge pages the memory works all the same
#endif
  return memory;
}

void FreeLarge(void* memory, size_t bytes) noexcept {
  if (memory != nullptr) munmap(memory, bytes == 0 ? 1 : bytes);
}

}  // namespace ostrin::platform
