// Named shared sections on Linux: POSIX shared memory. "Global\OstrinNT_Drive_C" is "/OstrinNT_Drive_C".
//
// A section outlives a process that is killed before it closes it, memory and all, until its name is
// removed. So the creating process holds an exclusive flock on its section's descriptor for as long as
// the section is open, and the lock dies with the process: a section whose lock can be taken belongs to
// nobody that still runs (RemoveStaleSections). Clients only read and never lock.
#include "platform/shared_section.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <thread>

#include "common/text.h"
#include "platform/posix/unique_fd.h"

namespace ostrin::platform {

namespace {

constexpr char GLOBAL_PREFIX[] = "Global\\";
// Readable by everyone, writable only by the service's user.
constexpr mode_t SECTION_MODE = 0644;
// Where glibc's shm_open keeps the objects; the one place to list them.
constexpr char SHM_FOLDER[] = "/dev/shm";

// A cleanup that opened a section in the instant between its creation and its owner's lock holds the
// lock only while it removes the name. The owner waits that long for its own lock, at most this often
// this long, and makes the section again when the name has gone meanwhile.
constexpr int OWNER_LOCK_TRIES = 100;
constexpr auto OWNER_LOCK_PAUSE = std::chrono::milliseconds(1);
constexpr int CREATE_ATTEMPTS = 3;

std::string PosixName(const WString& name) {
  std::string narrow = WideToUtf8(name);
  if (narrow.rfind(GLOBAL_PREFIX, 0) == 0) narrow.erase(0, sizeof GLOBAL_PREFIX - 1);
  return "/" + narrow;
}

bool SameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// False when the name no longer leads to the section open as fd (it was removed, or made anew). When
// that cannot be told, the section is taken to be still named.
bool NameLeadsTo(const std::string& posixName, int fd) {
  struct stat mine = {};
  struct stat named = {};
  if (fstat(fd, &mine) != 0) return true;
  if (stat((SHM_FOLDER + posixName).c_str(), &named) != 0) return errno != ENOENT;
  return SameFile(mine, named);
}

// Marks a section just created as owned by this process. False when a cleanup removed its name before
// the lock was had. A lock that some other reader keeps for longer (any process that may open a file
// may lock it) is left to it: while that reader holds it, no cleanup can take the section either.
bool TakeOwnership(const std::string& posixName, int fd) {
  for (int tries = 0; flock(fd, LOCK_EX | LOCK_NB) != 0;) {
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK || ++tries >= OWNER_LOCK_TRIES) break;
    std::this_thread::sleep_for(OWNER_LOCK_PAUSE);
  }
  return NameLeadsTo(posixName, fd);
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
  UniqueFd fd;
  for (int attempt = 0; attempt < CREATE_ATTEMPTS && !fd.IsValid(); ++attempt) {
    // A section of this name left from an earlier open may still be mapped by a client: it is unlinked,
    // never reused, so that client keeps reading the old image unchanged.
    shm_unlink(posixName.c_str());
    fd.Reset(shm_open(posixName.c_str(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, SECTION_MODE));
    if (!fd.IsValid()) return false;
    if (!TakeOwnership(posixName, fd.Get())) fd.Reset();
  }
  if (!fd.IsValid()) {
    errno = EEXIST;
    return false;
  }
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
  // The whole image is written at once: its pages are mapped up front, not one fault at a time.
  void* view = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, fd.Get(), 0);
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
    // Clients that still map the image keep it; the name is free for the next open of the drive. The
    // owner's lock goes with the descriptor.
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

size_t RemoveStaleSections(const WString& namePrefix) {
  const std::string prefix = PosixName(namePrefix).substr(1);
  DIR* folder = opendir(SHM_FOLDER);
  if (folder == nullptr) return 0;
  size_t removed = 0;
  while (const dirent* entry = readdir(folder)) {
    const std::string name = entry->d_name;
    if (name.rfind(prefix, 0) != 0) continue;
    // Anything else that carries the name (a link, a pipe someone put there) is not a section: opening
    // a pipe would block, following a link would lock some other file.
    UniqueFd fd(openat(dirfd(folder), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat opened = {};
    if (!fd.IsValid() || fstat(fd.Get(), &opened) != 0 || !S_ISREG(opened.st_mode)) continue;
    // Held: its owner runs (or is still taking it, in the instant after creating it).
    if (flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) continue;
    // Removed only while locked and only if the name still leads to the file that was locked.
    struct stat named = {};
    if (fstatat(dirfd(folder), name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 && SameFile(opened, named) &&
        unlinkat(dirfd(folder), name.c_str(), 0) == 0) {
      ++removed;
    }
  }
  closedir(folder);
  return removed;
}

}  // namespace ostrin::platform
