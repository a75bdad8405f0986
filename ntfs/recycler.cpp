// The per-thread free lists of the reader's small objects: their start and their release.
#include "ntfs/recycler.h"

namespace ntfs_recycler::detail {

thread_local constinit ELists t_state = ELists::NotYet;
thread_local constinit CFreeLists t_lists = {};

namespace {

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

}  // namespace

CFreeLists* StartLists() {
  if (t_state == ELists::Gone) return nullptr;
  static thread_local CListsReleaser releaser;  // made, and so registered to run, on first use
  (void)releaser;
  t_state = ELists::Alive;
  return &t_lists;
}

}  // namespace ntfs_recycler::detail
