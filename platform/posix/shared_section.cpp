// Named shared sections on Linux: POSIX shared memory. "Global\OstrinNT_Drive_C" is "/OstrinNT_Drive_C".
#include "platform/shared_section.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "common/text.h"
#include "platform/posix/unique_fd.h"

namespace ostrin::platform {

namespace {

constexpr char GLOBAL_PREFIX[] = "Global\\";
// Readable by everyone, writable only by the service's user.
constexpr mode_t SECTION_MODE = 0644;

std::string PosixName(const WString& name) {
  std::string narrow = WideToUtf8(name);
  if (narrow.rfind(GLOBAL_PREFIX, 0) == 0) narrow.erase(0, sizeof GLOBAL_PREFIX - 1);
  return "/" + narrow;
}

}  // namespace

struct CSharedSection::State {
  UniqueFd fd;
  std::string name;
  void* view = nullptr;
  size_t size = 0;
};

CSharedSection::CSharedSection() : m_state(std::make_unique<State>()) {}

CSharedSection::~CSharedSection() { Close(); }

bool CSharedSection::Create(const WString& name, uint64_t size, SectionFailure* failure) {
  Close();
  *failure = SectionFailure::Create;
  const std::string posixName = PosixName(name);
  // A section of this name left from an earlier open may still be mapped by a client: it is unlinked,
  // never reused, so that client keeps reading the old image unchanged.
  shm_unlink(posixName.c_str());
  UniqueFd fd(shm_open(posixName.c_str(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, SECTION_MODE));
  if (!fd.IsValid()) return false;
  // The process umask must not take the read right away from other users.
  bool ready = fchmod(fd.Get(), SECTION_MODE) == 0 && ftruncate(fd.Get(), static_cast<off_t>(size)) == 0;
  // Reserve the memory now: writing into a sparse section that the system cannot back would kill the
  // service with SIGBUS instead of failing the open.
  if (ready) {
    const int error = posix_fallocate(fd.Get(), 0, static_cast<off_t>(size));
    if (error != 0) {
      errno = error;
      ready = false;
    }
  }
  if (!ready) {
    const int error = errno;
    shm_unlink(posixName.c_str());
    errno = error;
    return false;
  }
  void* view = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd.Get(), 0);
  if (view == MAP_FAILED) {
    const int error = errno;
    shm_unlink(posixName.c_str());
    errno = error;
    *failure = SectionFailure::Map;
    return false;
  }
  m_state->fd = std::move(fd);
  m_state->name = posixName;
  m_state->view = view;
  m_state->size = static_cast<size_t>(size);
  *failure = SectionFailure::None;
  return true;
}

void* CSharedSection::View() const { return m_state->view; }

void CSharedSection::Unmap() {
  if (m_state->view != nullptr) munmap(m_state->view, m_state->size);
  m_state->view = nullptr;
}

void CSharedSection::Close() {
  Unmap();
  if (m_state->fd.IsValid()) {
    // Clients that still map the image keep it; the name is free for the next open of the drive.
    shm_unlink(m_state->name.c_str());
    m_state->fd.Reset();
  }
  m_state->name.clear();
  m_state->size = 0;
}

bool CSharedSection::IsOpen() const { return m_state->fd.IsValid(); }

struct CSectionView::State {
  UniqueFd fd;
  const void* data = nullptr;
  uint64_t size = 0;
};

CSectionView::CSectionView() : m_state(std::make_unique<State>()) {}

CSectionView::~CSectionView() { Close(); }

bool CSectionView::Open(const WString& name) {
  Close();
  m_state->fd.Reset(shm_open(PosixName(name).c_str(), O_RDONLY | O_CLOEXEC, 0));
  return m_state->fd.IsValid();
}

bool CSectionView::Map() {
  struct stat status = {};
  if (!m_state->fd.IsValid() || fstat(m_state->fd.Get(), &status) != 0) return false;
  if (status.st_size <= 0) {
    errno = EINVAL;
    return false;
  }
  void* data = mmap(nullptr, static_cast<size_t>(status.st_size), PROT_READ, MAP_SHARED, m_state->fd.Get(), 0);
  if (data == MAP_FAILED) return false;
  m_state->data = data;
  m_state->size = static_cast<uint64_t>(status.st_size);
  return true;
}

const void* CSectionView::Data() const { return m_state->data; }

uint64_t CSectionView::Size() const { return m_state->size; }

void CSectionView::Close() {
  if (m_state->data != nullptr) munmap(const_cast<void*>(m_state->data), static_cast<size_t>(m_state->size));
  m_state->data = nullptr;
  m_state->size = 0;
  m_state->fd.Reset();
}

}  // namespace ostrin::platform
