// Memory of the reader's small objects (attributes, data runs, list nodes), recycled by size on each
// thread. The scan parses millions of records with the same handful of objects per record; taking
// them from a per-thread free list instead of the heap each time is what keeps the scan off malloc.
// Ownership does not change: an object is still deleted by its owner, and its block goes back here.
#pragma once

#include <cstddef>

namespace ntfs_recycler {

// A block of at least size bytes, aligned for any object.
void* Allocate(std::size_t size);
// Gives back a block that Allocate returned for the same size (on any thread).
void Free(void* block, std::size_t size) noexcept;

}  // namespace ntfs_recycler

// Base of the classes whose objects come from the recycler.
struct CRecycled {
  static void* operator new(std::size_t size) { return ntfs_recycler::Allocate(size); }
  static void operator delete(void* block, std::size_t size) noexcept { ntfs_recycler::Free(block, size); }
};
