// Named shared sections on Linux: files in a tmpfs folder of the service's own, /dev/shm/OstrinNT.
// "Global\OstrinNT_Drive_C-..." is the file /dev/shm/OstrinNT/OstrinNT_Drive_C-....
//
// The folder is the service's (mode 0755): no other user can make, replace or rename a file in it, so
// a client that finds a regular file there, owned by the folder's owner and writable by no one else,
// maps an image the service made and nothing another user planted under its name.
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
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "platform/text.h"
#include "platform/posix/unique_fd.h"

namespace ostrin::platform {

namespace {

constexpr char GLOBAL_PREFIX[] = "Global\\";
// The service's folder of sections, and its mode: everyone may look in, only its owner may change it.
constexpr char SECTION_FOLDER[] = "/dev/shm/OstrinNT";
constexpr mode_t SECTION_FOLDER_MODE = 0755;
// Where glibc's shm_open kept the sections of earlier versions of the service.
constexpr char SHM_FOLDER[] = "/dev/shm";
// The modes of a section by who may read it besides the service's user (who alone may write).
constexpr mode_t SECTION_MODE_EVERYONE = 0644;
constexpr mode_t SECTION_MODE_GROUP = 0440;
constexpr mode_t SECTION_MODE_SERVICE_ALONE = 0400;
// Bits that would let someone besides a file's owner change it.
constexpr mode_t WRITABLE_BY_OTHERS = S_IWGRP | S_IWOTH;

// A cleanup that opened a section in the instant between its creation and its owner's lock holds the
// lock only while it removes the name. The owner waits that long for its own lock, at most this often
// this long, and makes the section again when the name has gone meanwhile.
constexpr int OWNER_LOCK_TRIES = 100;
constexpr auto OWNER_LOCK_PAUSE = std::chrono::milliseconds(1);
constexpr int CREATE_ATTEMPTS = 3;

// The file name of a section in the folder; empty for a name that could lead out of it.
std::string FileName(const WString& name) {
  std::string narrow = WideToUtf8(name);
  if (narrow.rfind(GLOBAL_PREFIX, 0) == 0) narrow.erase(0, sizeof GLOBAL_PREFIX - 1);
  if (narrow.empty() || narrow == "." || narrow == ".." || narrow.find('/') != std::string::npos ||
      narrow.find('\0') != std::string::npos) {
    return {};
  }
  return narrow;
}

bool SameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

std::string ModeText(mode_t mode) {
  char text[16];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

// Opens the service's folder of sections, making it first when asked and it is missing, and checks it
// is this process's user's own folder of mode 0755 (not a link, nor anything else). False with errno
// set, and the problem worded when problem is not null, when it is not.
bool OpenServiceFolder(bool make, UniqueFd* folder, std::string* problem) {
  const auto fail = [problem](int error, const std::string& text) {
    if (problem != nullptr) *problem = std::string(SECTION_FOLDER) + ": " + text;
    errno = error;
    return false;
  };
  bool made = false;
  if (make) {
    if (mkdir(SECTION_FOLDER, SECTION_FOLDER_MODE) == 0) {
      made = true;
    } else if (errno != EEXIST) {
      const int error = errno;
      return fail(error, std::strerror(error));
    }
  }
  UniqueFd fd(open(SECTION_FOLDER, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  struct stat status = {};
  if (!fd.IsValid() || fstat(fd.Get(), &status) != 0) {
    const int error = errno;
    if (error == ELOOP || error == ENOTDIR) return fail(EPERM, "not a folder");
    return fail(error, std::strerror(error));
  }
  if (status.st_uid != geteuid()) {
    return fail(EPERM, "owned by uid " + std::to_string(status.st_uid) + ", not by this service's user (uid " +
                           std::to_string(geteuid()) + ")");
  }
  // The process umask may have taken bits off the folder just made.
  if (made && fchmod(fd.Get(), SECTION_FOLDER_MODE) == 0) status.st_mode = S_IFDIR | SECTION_FOLDER_MODE;
  if ((status.st_mode & 07777) != SECTION_FOLDER_MODE) {
    return fail(EPERM, "mode " + ModeText(status.st_mode) + ", not " + ModeText(SECTION_FOLDER_MODE));
  }
  *folder = std::move(fd);
  return true;
}

// False when the name no longer leads to the section open as fd (it was removed, or made anew). When
// that cannot be told, the section is taken to be still named.
bool NameLeadsTo(int folder, const std::string& name, int fd) {
  struct stat mine = {};
  struct stat named = {};
  if (fstat(fd, &mine) != 0) return true;
  if (fstatat(folder, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0) return errno != ENOENT;
  return SameFile(mine, named);
}

// Marks a section just created as owned by this process. False when a cleanup removed its name before
// the lock was had. A lock that some other reader keeps for longer (any process that may open a file
// may lock it) is left to it: while that reader holds it, no cleanup can take the section either.
bool TakeOwnership(int folder, const std::string& name, int fd) {
  for (int tries = 0; flock(fd, LOCK_EX | LOCK_NB) != 0;) {
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK || ++tries >= OWNER_LOCK_TRIES) break;
    std::this_thread::sleep_for(OWNER_LOCK_PAUSE);
  }
  return NameLeadsTo(folder, name, fd);
}

// Gives a section just made its readers: its group and its mode. It was made with mode 0, so that no
// one but the service could open it before.
bool SetReaders(int fd, const CSectionReaders& readers) {
  if (readers.everyone) return fchmod(fd, SECTION_MODE_EVERYONE) == 0;
  if (readers.principals.empty()) return fchmod(fd, SECTION_MODE_SERVICE_ALONE) == 0;
  char* end = nullptr;
  const unsigned long group = std::strtoul(readers.principals.front().c_str(), &end, 10);
  if (end == readers.principals.front().c_str() || *end != '\0') {
    errno = EINVAL;
    return false;
  }
  return fchown(fd, static_cast<uid_t>(-1), static_cast<gid_t>(group)) == 0 && fchmod(fd, SECTION_MODE_GROUP) == 0;
}

// Removes the stale sections in one folder (RemoveStaleSections).
size_t RemoveStaleIn(int folderFd, const std::string& prefix) {
  DIR* folder = fdopendir(folderFd);
  if (folder == nullptr) {
    close(folderFd);
    return 0;
  }
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

}  // namespace

struct CSharedSection::State {
  UniqueFd fd;
  std::string path;
  void* view = nullptr;
  size_t size = 0;
};

CSharedSection::CSharedSection() : m_state(std::make_unique<State>()) {}

CSharedSection::~CSharedSection() { Close(); }

bool CSharedSection::Create(const WString& name, uint64_t size, SectionFailure* failure,
                            const CSectionReaders& readers) {
  Close();
  *failure = SectionFailure::Create;
  const std::string fileName = FileName(name);
  if (fileName.empty()) {
    errno = EINVAL;
    return false;
  }
  UniqueFd folder;
  if (!OpenServiceFolder(true, &folder, nullptr)) return false;
  const std::string path = std::string(SECTION_FOLDER) + "/" + fileName;
  UniqueFd fd;
  for (int attempt = 0; attempt < CREATE_ATTEMPTS && !fd.IsValid(); ++attempt) {
    // A section of this name left from an earlier open may still be mapped by a client: it is unlinked,
    // never reused, so that client keeps reading the old image unchanged.
    unlinkat(folder.Get(), fileName.c_str(), 0);
    fd.Reset(openat(folder.Get(), fileName.c_str(), O_CREAT | O_EXCL | O_RDWR | O_NOFOLLOW | O_CLOEXEC, 0));
    if (!fd.IsValid()) return false;
    if (!TakeOwnership(folder.Get(), fileName, fd.Get())) fd.Reset();
  }
  if (!fd.IsValid()) {
    errno = EEXIST;
    return false;
  }
  const auto fail = [&](SectionFailure kind) {
    const int error = errno;
    unlinkat(folder.Get(), fileName.c_str(), 0);
    errno = error;
    *failure = kind;
    return false;
  };
  // Its readers before a byte is in it.
  if (!SetReaders(fd.Get(), readers)) return fail(SectionFailure::Security);
  if (ftruncate(fd.Get(), static_cast<off_t>(size)) != 0) return fail(SectionFailure::Create);
  // Reserve the memory now: writing into a sparse section that the system cannot back would kill the
  // service with SIGBUS instead of failing the open.
  const int reserve = posix_fallocate(fd.Get(), 0, static_cast<off_t>(size));
  if (reserve != 0) {
    errno = reserve;
    return fail(SectionFailure::Create);
  }
  // The whole image is written at once: its pages are mapped up front, not one fault at a time.
  void* view = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, fd.Get(), 0);
  if (view == MAP_FAILED) return fail(SectionFailure::Map);
  m_state->fd = std::move(fd);
  m_state->path = path;
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
    unlink(m_state->path.c_str());
    m_state->fd.Reset();
  }
  m_state->path.clear();
  m_state->size = 0;
}

bool CSharedSection::IsOpen() const { return m_state->fd.IsValid(); }

struct CSectionView::State {
  UniqueFd fd;
  // The owner of the folder the section was opened in: the service's user.
  uid_t folderOwner = 0;
  const void* data = nullptr;
  uint64_t size = 0;
};

CSectionView::CSectionView() : m_state(std::make_unique<State>()) {}

CSectionView::~CSectionView() { Close(); }

bool CSectionView::Open(const WString& name) {
  Close();
  const std::string fileName = FileName(name);
  if (fileName.empty()) {
    errno = EINVAL;
    return false;
  }
  UniqueFd folder(open(SECTION_FOLDER, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  struct stat status = {};
  if (!folder.IsValid() || fstat(folder.Get(), &status) != 0) return false;
  // A folder that others may write in could hold anybody's file.
  if ((status.st_mode & WRITABLE_BY_OTHERS) != 0) {
    errno = EPERM;
    return false;
  }
  m_state->folderOwner = status.st_uid;
  // Not blocking: whatever is there, a pipe included, opens at once and fails the check of Map.
  m_state->fd.Reset(openat(folder.Get(), fileName.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  return m_state->fd.IsValid();
}

bool CSectionView::Map() {
  struct stat status = {};
  if (!m_state->fd.IsValid() || fstat(m_state->fd.Get(), &status) != 0) return false;
  if (!S_ISREG(status.st_mode) || status.st_uid != m_state->folderOwner || (status.st_mode & WRITABLE_BY_OTHERS) != 0) {
    errno = EPERM;
    return false;
  }
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
  std::string prefix = WideToUtf8(namePrefix);
  if (prefix.rfind(GLOBAL_PREFIX, 0) == 0) prefix.erase(0, sizeof GLOBAL_PREFIX - 1);
  if (prefix.empty()) return 0;
  size_t removed = 0;
  UniqueFd folder;
  if (OpenServiceFolder(false, &folder, nullptr)) removed += RemoveStaleIn(folder.Release(), prefix);
  // Sections of a service of an earlier version, made beside everybody's files.
  const int shared = open(SHM_FOLDER, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (shared >= 0) removed += RemoveStaleIn(shared, prefix);
  return removed;
}

bool PrepareSectionFolder(std::string* problem) {
  UniqueFd folder;
  return OpenServiceFolder(true, &folder, problem);
}

std::string SectionPath(const WString& name) {
  const std::string fileName = FileName(name);
  return fileName.empty() ? std::string() : std::string(SECTION_FOLDER) + "/" + fileName;
}

}  // namespace ostrin::platform
