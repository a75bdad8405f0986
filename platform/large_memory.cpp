// Large memory (portable): the blocks kept between builds, over the system's part.
#include "platform/large_memory.h"

#include <mutex>
#include <vector>

namespace ostrin::platform {

namespace {

struct CKeptBlock {
  void* memory;
  size_t bytes;
};

struct CKeptBlocks {
  std::mutex lock;
  std::vector<CKeptBlock> blocks;  // the most recently freed last
  size_t bytes = 0;
};

// Never destroyed: memory is freed into it until the process ends, by objects of static duration too.
CKeptBlocks& Kept() {
  static auto* kept = new CKeptBlocks;
  return *kept;
}

}  // namespace

void* AllocateLarge(size_t bytes) {
  if (bytes >= SMALLEST_BLOCK_KEPT) {
    CKeptBlocks& kept = Kept();
    const std::lock_guard<std::mutex> lock(kept.lock);
    for (size_t i = kept.blocks.size(); i-- > 0;) {
      if (kept.blocks[i].bytes != bytes) continue;
      void* memory = kept.blocks[i].memory;
      kept.blocks.erase(kept.blocks.begin() + static_cast<std::ptrdiff_t>(i));
      kept.bytes -= bytes;
      return memory;
    }
  }
  return AllocateSystemMemory(bytes);
}

void FreeLarge(void* memory, size_t bytes) noexcept {
  if (memory == nullptr) return;
  if (bytes >= SMALLEST_BLOCK_KEPT) {
    CKeptBlocks& kept = Kept();
    const std::lock_guard<std::mutex> lock(kept.lock);
    if (bytes <= LARGE_MEMORY_KEPT - kept.bytes) {
      try {
        kept.blocks.push_back({memory, bytes});
        kept.bytes += bytes;
        LetSystemTakePages(memory, bytes);
        return;
      } catch (...) {
        // No room to note it: it goes back.
      }
    }
  }
  FreeSystemMemory(memory, bytes);
}

size_t LargeMemoryKept() {
  CKeptBlocks& kept = Kept();
  const std::lock_guard<std::mutex> lock(kept.lock);
  return kept.bytes;
}

}  // namespace ostrin::platform
