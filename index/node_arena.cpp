// The storage of one build's file tree.
#include "index/node_arena.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "platform/large_memory.h"

namespace {

// Blocks grow with the tree, from a small volume's few kilobytes up to a size whose unused end costs
// little beside millions of entries.
constexpr std::size_t FIRST_BLOCK = 64 * 1024;
constexpr std::size_t LARGEST_BLOCK = 4 * 1024 * 1024;

}  // namespace

void* CNodeArena::Allocate(std::size_t bytes, std::size_t alignment) {
  std::size_t padding = static_cast<std::size_t>(-reinterpret_cast<uintptr_t>(m_next)) & (alignment - 1);
  if (m_next == nullptr || padding + bytes > m_left) {
    const std::size_t grown = m_blocks.empty() ? FIRST_BLOCK : std::min(LARGEST_BLOCK, 2 * m_bytesHeld);
    const std::size_t size = std::max(grown, bytes + alignment);
    m_blocks.reserve(m_blocks.size() + 1);
    auto* memory = static_cast<std::byte*>(ostrin::platform::AllocateLarge(size));
    if (memory == nullptr) throw std::bad_alloc();
    m_blocks.push_back({memory, size});
    m_next = memory;
    m_left = size;
    m_bytesHeld += size;
    padding = static_cast<std::size_t>(-reinterpret_cast<uintptr_t>(m_next)) & (alignment - 1);
  }
  std::byte* block = m_next + padding;
  m_next = block + bytes;
  m_left -= padding + bytes;
  return block;
}

const WCHAR* CNodeArena::CopyName(const WCHAR* name, uint16_t length) {
  auto* copy = static_cast<WCHAR*>(Allocate((length + 1u) * sizeof(WCHAR), alignof(WCHAR)));
  std::memcpy(copy, name, length * sizeof(WCHAR));
  copy[length] = 0;
  return copy;
}

void CNodeArena::Release() {
  for (const CBlock& block : m_blocks) ostrin::platform::FreeLarge(block.memory, block.size);
  m_blocks.clear();
  m_blocks.shrink_to_fit();
  m_next = nullptr;
  m_left = 0;
  m_bytesHeld = 0;
}
