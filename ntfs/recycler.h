// Memory of the reader's small objects (attributes, data runs, list nodes), recycled by size on each
// thread. The scan parses millions of records with the same handful of objects per record; taking
// them from a per-thread free list instead of the heap each time is what keeps the scan off malloc.
// Ownership does not change: an object is still deleted by its owner, and its block goes back here.
#pragma once

#include <cstddef>
#include <new>

namespace ntfs_recycler {

namespace detail {

// Size classes of 16 bytes up to LARGEST; larger blocks come from the heap each time. A class keeps
// enough blocks for the records a scan parses one after another, not for whatever a crafted record
// once asked for.
inline constexpr std::size_t GRANULE = 16;
inline constexpr std::size_t LARGEST = 1024;
inline constexpr std::size_t CLASSES = LARGEST / GRANULE;
inline constexpr std::size_t KEPT_PER_CLASS = 256;

constexpr std::size_t ClassOf(std::size_t size) { return (size + GRANULE - 1) / GRANULE - 1; }

// A free block holds the link to the next one of its class.
struct CFreeBlock {
  CFreeBlock* next;
};

// Trivial, so that reaching a thread's lists costs no more than reaching any variable of the thread.
struct CFreeLists {
  CFreeBlock* first[CLASSES];
  std::size_t count[CLASSES];
};

// The lists come into being on a thread's first use and go with the thread; objects freed after that
// (by destructors that run late at the end of a thread or the process) go straight to the heap.
enum class ELists : unsigned char { NotYet, Alive, Gone };
extern thread_local constinit ELists t_state;
extern thread_local constinit CFreeLists t_lists;

// The thread's lists on their first use (arranging their release when the thread ends), or null
// once they are gone.
CFreeLists* StartLists();

inline CFreeLists* Lists() { return t_state == ELists::Alive ? &t_lists : StartLists(); }

}  // namespace detail

// A block of at least size bytes, aligned for any object.
inline void* Allocate(std::size_t size) {
  using namespace detail;
  if (size == 0 || size > LARGEST) return ::operator new(size);
  const std::size_t sizeClass = ClassOf(size);
  if (CFreeLists* lists = Lists(); lists != nullptr && lists->first[sizeClass] != nullptr) {
    CFreeBlock* block = lists->first[sizeClass];
    lists->first[sizeClass] = block->next;
    --lists->count[sizeClass];
    return block;
  }
  return ::operator new((sizeClass + 1) * GRANULE);
}

// Gives back a block that Allocate returned for the same size (on any thread).
inline void Free(void* block, std::size_t size) noexcept {
  using namespace detail;
  if (block == nullptr) return;
  CFreeLists* lists = size == 0 || size > LARGEST ? nullptr : Lists();
  const std::size_t sizeClass = ClassOf(size);
  if (lists == nullptr || lists->count[sizeClass] >= KEPT_PER_CLASS) {
    ::operator delete(block);
    return;
  }
  auto* freed = static_cast<CFreeBlock*>(block);
  freed->next = lists->first[sizeClass];
  lists->first[sizeClass] = freed;
  ++lists->count[sizeClass];
}

}  // namespace ntfs_recycler

// Base of the classes whose objects come from the recycler.
struct CRecycled {
  static void* operator new(std::size_t size) { return ntfs_recycler::Allocate(size); }
  static void operator delete(void* block, std::size_t size) noexcept { ntfs_recycler::Free(block, size); }
};
