// Volume device on Linux: a block device or image file named by a "volume.X" mapping, read with pread.
#include "platform/volume_device.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/posix/unique_fd.h"

namespace ostrin::platform {

struct CVolumeDevice::Handle {
  UniqueFd fd;
};

bool DriveLettersNeedMapping() { return true; }

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
  m_handle->fd.Reset(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  return m_handle->fd.IsValid();
}

void CVolumeDevice::OpenSource(std::shared_ptr<const IVolumeSource> source) {
  Close();
  m_source = std::move(source);
}

void CVolumeDevice::Close() {
  m_handle->fd.Reset();
  m_source.reset();
}

bool CVolumeDevice::IsOpen() const { return m_source != nullptr || m_handle->fd.IsValid(); }

bool CVolumeDevice::ReadAt(uint64_t offset, void* buffer, size_t length, size_t* bytesRead) const {
  *bytesRead = 0;
  if (m_source != nullptr) return m_source->ReadAt(offset, buffer, length, bytesRead);
  if (!IsOpen()) {
    errno = EBADF;
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
