// Large memory on Linux: an anonymous mapping, with transparent huge pages asked for (the systems
// that keep them in "madvise" mode give them only to memory that asks). A mapping of 2 MiB or more
// starts on a multiple of 2 MiB, so that all of it can be huge pages.
#include "platform/large_memory.h"

#include <sys/mman.h>

#include <cstdint>

namespace ostrin::platform {

namespace {

constexpr size_t HUGE_PAGE = 2 * 1024 * 1024;

}  // namespace

void* AllocateLarge(size_t bytes) {
  if (bytes == 0) bytes = 1;
  const size_t slack = bytes >= HUGE_PAGE ? HUGE_PAGE : 0;
  if (bytes > SIZE_MAX - slack) return nullptr;
  void* mapped = mmap(nullptr, bytes + slack, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED) return nullptr;
  auto* start = static_cast<uint8_t*>(mapped);
  if (slack != 0) {
    // The part before the first multiple of 2 MiB and the rest after the memory go back.
    const size_t head = static_cast<size_t>(-reinterpret_cast<uintptr_t>(start)) & (HUGE_PAGE - 1);
    if (head != 0) munmap(start, head);
    const size_t tail = slack - head;
    const size_t used = (bytes + 4095) & ~size_t{4095};
    if (tail != 0) munmap(start + head + used, tail);
    start += head;
  }
#if defined(MADV_HUGEPAGE)
  madvise(start, bytes, MADV_HUGEPAGE);  // a hint: without huge pages the memory works all the same
#endif
  return start;
}

void FreeLarge(void* memory, size_t bytes) noexcept {
  if (memory != nullptr) munmap(memory, bytes == 0 ? 1 : bytes);
}

}  // namespace ostrin::platform
