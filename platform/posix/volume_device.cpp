// Volume device on Linux: a block device or image file named by a "volume.X" mapping, read with pread.
// Linux reads a block device through its cache, so any offset and length may be read.
#include "platform/volume_device.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/posix/unique_fd.h"
#include "platform/volume_device_system.h"

namespace ostrin::platform {

struct CDeviceFile {
  UniqueFd fd;
};

bool ReadDeviceFile(const CDeviceFile& file, uint64_t offset, void* buffer, size_t length, size_t* bytesRead) {
  auto* out = static_cast<unsigned char*>(buffer);
  while (*bytesRead < length) {
    const ssize_t got =
        ::pread(file.fd.Get(), out + *bytesRead, length - *bytesRead, static_cast<off_t>(offset + *bytesRead));
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (got == 0) break;  // end of the volume
    *bytesRead += static_cast<size_t>(got);
  }
  return true;
}

uint32_t ErrorUnalignedRead() { return EINVAL; }
uint32_t ErrorDeviceNotOpen() { return EBADF; }

bool DriveLettersNeedMapping() { return true; }

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
  auto file = std::make_shared<CDeviceFile>();
  file->fd.Reset(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!file->fd.IsValid()) return false;
  m_handle->file = std::move(file);
  const int fd = m_handle->file->fd.Get();
  struct stat status = {};
  if (::fstat(fd, &status) != 0) {
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
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  const uint32_t forced = ForcedSectorSizeForTesting();
  m_sectorSizeForced = forced != 0;
  m_sectorSize = forced != 0 ? forced : 1;
  return true;
}

void* CVolumeDevice::NativeHandle() const { return nullptr; }

}  // namespace ostrin::platform
