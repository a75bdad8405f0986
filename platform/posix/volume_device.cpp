// Volume device on Linux: a block device or image file named by a "volume.X" mapping, read with pread.
// Linux reads a block device through its cache, so any offset and length may be read.
#include "platform/volume_device.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "platform/posix/unique_fd.h"
#include "platform/sector_reads.h"

namespace ostrin::platform {

struct CVolumeDevice::Handle {
  UniqueFd fd;
};

namespace {

std::atomic<uint32_t> g_forcedSectorSize{0};

}  // namespace

bool DriveLettersNeedMapping() { return true; }

void CVolumeDevice::ForceSectorSizeForTesting(uint32_t bytes) { g_forcedSectorSize = bytes; }

CVolumeDevice::CVolumeDevice() : m_handle(std::make_unique<Handle>()) {}
CVolumeDevice::~CVolumeDevice() = default;

bool CVolumeDevice::OpenLetter(WCHAR /*letter*/, const std::string& mappedPath) {
  if (mappedPath.empty()) {
    // Linux has no drive letters: an unmapped letter names no device.
    Close();
    errno = ENOENT;
    return false;
  }
  return OpenPath(mappedPath);
}

bool CVolumeDevice::OpenPath(const std::string& path) {
  Close();
  // Without waiting: opening a FIFO for reading would wait for a writer, for ever. Only an image file
  // or a block device is a volume; a directory, FIFO, socket or character device is refused.
  m_handle->fd.Reset(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!m_handle->fd.IsValid()) return false;
  struct stat status = {};
  if (::fstat(m_handle->fd.Get(), &status) != 0) {
    const int error = errno;
    Close();
    errno = error;
    return false;
  }
  if (!S_ISREG(status.st_mode) && !S_ISBLK(status.st_mode)) {
    Close();
    errno = S_ISDIR(status.st_mode) ? EISDIR : ENOTBLK;
    return false;
  }
  ::fcntl(m_handle->fd.Get(), F_SETFL, ::fcntl(m_handle->fd.Get(), F_GETFL) & ~O_NONBLOCK);
  const uint32_t forced = g_forcedSectorSize;
  m_sectorSizeForced = forced != 0;
  m_sectorSize = forced != 0 ? forced : 1;
  return true;
}

void CVolumeDevice::OpenSource(std::shared_ptr<const IVolumeSource> source) {
  Close();
  m_source = std::move(source);
}

void CVolumeDevice::Close() {
  m_handle->fd.Reset();
  m_source.reset();
  m_sectorSize = 0;
  m_sectorSizeForced = false;
  m_bytesRead.store(0, std::memory_order_relaxed);
}

bool CVolumeDevice::IsOpen() const { return m_source != nullptr || m_handle->fd.IsValid(); }

uint32_t CVolumeDevice::SectorSize() const { return m_source != nullptr ? 1 : m_sectorSize; }

void* CVolumeDevice::NativeHandle() const { return nullptr; }

bool CVolumeDevice::ReadAt(uint64_t offset, void* buffer, size_t length, size_t* bytesRead) const {
  *bytesRead = 0;
  if (!IsOpen()) {
    errno = EBADF;
    return false;
  }
  const bool read = m_source != nullptr
                        ? m_source->ReadAt(offset, buffer, length, bytesRead)
                        : ReadThroughSectors(m_sectorSize, offset, buffer, length, bytesRead,
                                             [this](uint64_t at, void* into, size_t bytes, size_t* got) {
                                               return ReadWholeSectors(at, into, bytes, got);
                                             });
  m_bytesRead.fetch_add(*bytesRead, std::memory_order_relaxed);
  return read;
}

bool CVolumeDevice::ReadWholeSectors(uint64_t offset, void* buffer, size_t length, size_t* bytesRead) const {
  *bytesRead = 0;
  if (m_sectorSizeForced && !IsWholeSectors(m_sectorSize, offset, buffer, length)) {
    errno = EINVAL;  // what a block device read without its cache answers
    return false;
  }
  auto* out = static_cast<unsigned char*>(buffer);
  while (*bytesRead < length) {
    const ssize_t got = ::pread(m_handle->fd.Get(), out + *bytesRead, length - *bytesRead,
                                static_cast<off_t>(offset + *bytesRead));
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (got == 0) break;  // end of the volume
    *bytesRead += static_cast<size_t>(got);
  }
  return true;
}

}  // namespace ostrin::platform
