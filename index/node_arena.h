// The storage of one build's file tree: nodes and their names are carved out of large blocks and
// released together, with the tree, instead of taking two heap blocks per entry of the volume.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/types.h"

class CNodeArena {
 public:
  CNodeArena() = default;
  ~CNodeArena() { Release(); }
  CNodeArena(const CNodeArena&) = delete;
  CNodeArena& operator=(const CNodeArena&) = delete;

  // bytes of storage aligned to alignment (at most alignof(std::max_align_t)); throws std::bad_alloc.
  void* Allocate(std::size_t bytes, std::size_t alignment);
  // A 0-terminated copy of a name of length units.
  const WCHAR* CopyName(const WCHAR* name, uint16_t length);
  // Frees every block: nothing carved from the arena may be used afterwards.
  void Release();
  // Bytes of the blocks held.
  std::size_t BytesHeld() const { return m_bytesHeld; }

 private:
  struct CBlock {
    std::byte* memory;
    std::size_t size;
  };
  // In large memory: a tree of millions of nodes fills it with few page faults.
  std::vector<CBlock> m_blocks;
  std::byte* m_next = nullptr;
  std::size_t m_left = 0;
  std::size_t m_bytesHeld = 0;
};
