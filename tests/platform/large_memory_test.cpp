// Large memory kept between builds: a freed block comes back to the next allocation of its size as it
// was, up to what is kept; the rest goes back to the system.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/large_memory.h"

namespace {

using namespace ostrin::platform;

TEST(LargeMemory, FreedBlocksComeBackToTheNextBuildUpToWhatIsKept) {
  // A size no other test asks for, so that what it finds kept is its own.
  constexpr size_t BLOCK = 3 * 1024 * 1024 + 3 * 4096;
  const size_t keptBefore = LargeMemoryKept();
  void* first = AllocateLarge(BLOCK);
  ASSERT_NE(first, nullptr);
  std::memset(first, 0x5A, BLOCK);
  FreeLarge(first, BLOCK);
  EXPECT_EQ(LargeMemoryKept(), keptBefore + BLOCK);
  void* again = AllocateLarge(BLOCK);
  EXPECT_EQ(again, first);
  EXPECT_EQ(LargeMemoryKept(), keptBefore);
  void* other = AllocateLarge(BLOCK);  // nothing of this size is kept now: fresh memory
  EXPECT_NE(other, first);

  // More blocks than are kept: those past the limit go back.
  std::vector<void*> blocks{again, other};
  while (blocks.size() * BLOCK <= LARGE_MEMORY_KEPT + 2 * BLOCK) {
    blocks.push_back(AllocateLarge(BLOCK));
    ASSERT_NE(blocks.back(), nullptr);
  }
  for (void* block : blocks) FreeLarge(block, BLOCK);
  EXPECT_LE(LargeMemoryKept(), LARGE_MEMORY_KEPT);
  EXPECT_GT(LargeMemoryKept() + BLOCK, LARGE_MEMORY_KEPT);

  // Small blocks are never kept.
  const size_t kept = LargeMemoryKept();
  FreeLarge(AllocateLarge(SMALLEST_BLOCK_KEPT - 4096), SMALLEST_BLOCK_KEPT - 4096);
  EXPECT_EQ(LargeMemoryKept(), kept);
}

}  // namespace
