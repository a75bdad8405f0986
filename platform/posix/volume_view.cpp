// Views of volumes on Linux: a shared read-only mapping of the whole file or block device. Fetch asks
// the kernel to bring the pages in (MADV_POPULATE_READ, Linux 5.14), which answers a read error with
// an error code where a touch of the page would raise SIGBUS. For a page that fails later all the same,
// a SIGBUS handler, installed with the first view, puts a page of zeros in its place and counts it;
// a bus error anywhere else goes on to the handler that was there before (or kills, as it would have).
#include "platform/volume_view.h"

#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <thread>

#include "platform/bounded_read.h"
#include "platform/system_error.h"

#ifndef MADV_POPULATE_READ
#define MADV_POPULATE_READ 22
#endif

namespace ostrin::platform {

namespace {

// The views that a bus error may hit. A slot is taken by setting begin, and freed by clearing it,
// before its memory goes; the handler reads the slots without a lock.
struct CGuardedRange {
  std::atomic<uintptr_t> begin{0};
  std::atomic<uintptr_t> end{0};
  std::atomic<uint64_t> faults{0};
};
constexpr size_t GUARDED_VIEWS = 64;
std::array<CGuardedRange, GUARDED_VIEWS> g_guarded;
struct sigaction g_previousBusHandler = {};
uintptr_t g_pageSize = 4096;

void OnBusError(int signal, siginfo_t* info, void* context) {
  const auto address = reinterpret_cast<uintptr_t>(info->si_addr);
  for (CGuardedRange& range : g_guarded) {
    const uintptr_t begin = range.begin.load(std::memory_order_acquire);
    if (begin == 0 || address < begin || address >= range.end.load(std::memory_order_acquire)) continue;
    // (mmap is a plain system call, safe in a signal handler on Linux.)
    void* page = reinterpret_cast<void*>(address & ~(g_pageSize - 1));
    if (::mmap(page, g_pageSize, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) == MAP_FAILED) break;
    range.faults.fetch_add(1, std::memory_order_acq_rel);
    return;  // the read runs again, on the zeros
  }
  if ((g_previousBusHandler.sa_flags & SA_SIGINFO) != 0 && g_previousBusHandler.sa_sigaction != nullptr) {
    g_previousBusHandler.sa_sigaction(signal, info, context);
    return;
  }
  if (g_previousBusHandler.sa_handler != SIG_DFL && g_previousBusHandler.sa_handler != SIG_IGN &&
      (g_previousBusHandler.sa_flags & SA_SIGINFO) == 0) {
    g_previousBusHandler.sa_handler(signal);
    return;
  }
  // What would have happened without views: the fault, when the read runs again, ends the process;
  // a bus error sent by a process is raised again.
  ::signal(SIGBUS, SIG_DFL);
  if (info->si_code <= 0) ::raise(signal);
}

bool InstallBusHandler() {
  static std::once_flag once;
  static bool installed = false;
  std::call_once(once, [] {
    const long pageSize = ::sysconf(_SC_PAGESIZE);
    if (pageSize > 0) g_pageSize = static_cast<uintptr_t>(pageSize);
    struct sigaction action = {};
    action.sa_sigaction = OnBusError;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    installed = ::sigaction(SIGBUS, &action, &g_previousBusHandler) == 0;
  });
  return installed;
}

}  // namespace

struct CVolumeView::Guard {
  CGuardedRange* range = nullptr;
  const std::atomic<uint64_t>* hangFrom = nullptr;
};

std::shared_ptr<CVolumeView> MapVolumeDescriptor(int fd, const std::atomic<uint64_t>* hangFrom) {
  const off_t end = ::lseek(fd, 0, SEEK_END);
  if (end <= 0 || !InstallBusHandler()) return nullptr;
  const auto size = static_cast<uint64_t>(end);
  if (size > SIZE_MAX) return nullptr;
  void* mapped = ::mmap(nullptr, static_cast<size_t>(size), PROT_READ, MAP_SHARED, fd, 0);
  if (mapped == MAP_FAILED) return nullptr;
  // A kernel without MADV_POPULATE_READ cannot fetch without a signal: no view then.
  if (::madvise(mapped, static_cast<size_t>(std::min<uint64_t>(size, g_pageSize)), MADV_POPULATE_READ) != 0 &&
      errno == EINVAL) {
    ::munmap(mapped, static_cast<size_t>(size));
    return nullptr;
  }
  auto guard = std::make_unique<CVolumeView::Guard>();
  guard->hangFrom = hangFrom;
  const auto begin = reinterpret_cast<uintptr_t>(mapped);
  for (CGuardedRange& range : g_guarded) {
    // A free slot's end is 0, so that it matches no address until its end is set, last.
    uintptr_t free = 0;
    if (range.begin.compare_exchange_strong(free, begin, std::memory_order_acq_rel)) {
      range.faults.store(0, std::memory_order_release);
      range.end.store(begin + static_cast<uintptr_t>(size), std::memory_order_release);
      guard->range = &range;
      break;
    }
  }
  if (guard->range == nullptr) {  // as many views as can be guarded are open: this one reads
    ::munmap(mapped, static_cast<size_t>(size));
    return nullptr;
  }
  std::shared_ptr<CVolumeView> view(new CVolumeView(static_cast<const uint8_t*>(mapped), size, std::move(guard)));
  view->m_self = view;
  return view;
}

CVolumeView::CVolumeView(const uint8_t* data, uint64_t size, std::unique_ptr<Guard> guard)
    : m_data(data), m_size(size), m_guard(std::move(guard)) {}

CVolumeView::~CVolumeView() {
  m_guard->range->end.store(0, std::memory_order_release);
  m_guard->range->begin.store(0, std::memory_order_release);
  ::munmap(const_cast<uint8_t*>(m_data), static_cast<size_t>(m_size));
}

void CVolumeView::Drop(uint64_t offset, size_t length) const {
  if (!Covers(offset, length)) return;
  const uint64_t page = g_pageSize;
  const uint64_t first = (offset + page - 1) / page * page;
  const uint64_t end = (offset + length) / page * page;
  if (first < end) ::madvise(const_cast<uint8_t*>(m_data + first), static_cast<size_t>(end - first), MADV_DONTNEED);
}

uint64_t CVolumeView::Faults() const { return m_guard->range->faults.load(std::memory_order_acquire); }

bool CVolumeView::Fetch(uint64_t offset, size_t length) const {
  if (!Covers(offset, length)) {
    errno = EINVAL;
    return false;
  }
  if (length == 0) return true;
  const uint64_t first = offset & ~static_cast<uint64_t>(g_pageSize - 1);
  const size_t bytes = static_cast<size_t>(offset + length - first);
  // What the fetch needs, held by value: one given up on runs on past its caller.
  std::shared_ptr<const CVolumeView> self = m_self.lock();
  CBoundedReader::Read fetch = [self, first, bytes](void*, size_t, size_t* got, uint32_t* error) {
    *got = 0;
    const uint64_t hangFrom = self->m_guard->hangFrom != nullptr ? self->m_guard->hangFrom->load() : 0;
    if (hangFrom != 0 && first + bytes > hangFrom) {
      for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
    }
    void* at = const_cast<uint8_t*>(self->m_data + first);
    while (::madvise(at, bytes, MADV_POPULATE_READ) != 0) {
      if (errno == EINTR) continue;
      // EFAULT: a page cannot be read; the reads that follow say why.
      *error = static_cast<uint32_t>(errno);
      return false;
    }
    return true;
  };
  CReadGiveUp* const bounded = CReadGiveUp::Current();
  if (bounded == nullptr) {
    uint32_t error = 0;
    size_t got = 0;
    if (fetch(nullptr, 0, &got, &error)) return true;
    SetLastSystemError(error);
    return false;
  }
  size_t got = 0;
  return bounded->Read(std::move(fetch), nullptr, 0, 1, &got);
}

}  // namespace ostrin::platform
