// The per-thread free lists of the reader's small objects.
#include "ntfs/recycler.h"

#include <new>

namespace {

// Size classes of 16 bytes up to this size; larger blocks come from the heap each time.
constexpr std::size_t GRANULE = 16;
constexpr std::size_t LARGEST = 1024;
constexpr std::size_t CLASSES = LARGEST / GRANULE;
// Blocks kept per class: enough for the records a scan parses one after another, not for whatever a
// crafted record once asked for.
constexpr std::size_t KEPT_PER_CLASS = 256;

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
thread_local ELists t_state = ELists::NotYet;
thread_local CFreeLists t_lists = {};

// Gives the thread's blocks back to the heap when the thread ends.
struct CListsReleaser {
  ~CListsReleaser() {
    t_state = ELists::Gone;
    for (CFreeBlock* block : t_lists.first) {
      while (block != nullptr) {
        CFreeBlock* next = block->next;
        ::operator delete(block);
        block = next;
      }
    }
  }
};

CFreeLists* Lists() {
  if (t_state == ELists::Alive) return &t_lists;
  if (t_state == ELists::Gone) return nullptr;
  static thread_local CListsReleaser releaser;  // made, and so registered to run, on first use
  (void)releaser;
  t_state = ELists::Alive;
  return &t_lists;
}

}  // namespace

namespace ntfs_recycler {

void* Allocate(std::size_t size) {
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

void Free(void* block, std::size_t size) noexcept {
  if (block == nullptr) return;
  CFreeLists* lists = size == 0 || size > LARGEST ? nullptr : Lists();
  if (lists == nullptr) {
    ::operator delete(block);
    return;
  }
  const std::size_t sizeClass = ClassOf(size);
  if (lists->count[sizeClass] >= KEPT_PER_CLASS) {
    ::operator delete(block);
    return;
  }
  auto* freed = static_cast<CFreeBlock*>(block);
  freed->next = lists->first[sizeClass];
  lists->first[sizeClass] = freed;
  ++lists->count[sizeClass];
}

}  // namespace ntfs_recycler
