// Volume device on Linux: a block device or image file named by a "volume.X" mapping, read with pread.
// Linux reads a block device through its cache, so any offset and length may be read.
#include "platform/volume_device.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>

#include "platform/bounded_read.h"
#include "platform/posix/unique_fd.h"
#include "platform/sector_reads.h"
#include "platform/system_error.h"
#include "platform/volume_view.h"

namespace ostrin::platform {

namespace {

struct CDeviceFile {
  UniqueFd fd;
};

}  // namespace

struct CVolumeDevice::Handle {
  // Shared with a read on the reader thread: one given up on keeps the file open until it returns.
  std::shared_ptr<CDeviceFile> file;
};

namespace {

std::atomic<uint32_t> g_forcedSectorSize{0};
std::atomic<uint64_t> g_hangReadsFrom{0};

// Reads whole sectors of the file (or of a forced sector size) only.
bool ReadWholeSectors(int fd, uint32_t sectorSize, bool sectorSizeForced, uint64_t offset, void* buffer, size_t length,
                      size_t* bytesRead) {
  *bytesRead = 0;
  if (sectorSizeForced && !IsWholeSectors(sectorSize, offset, buffer, length)) {
    errno = EINVAL;  // what a block device read without its cache answers
    return false;
  }
  const uint64_t hangFrom = g_hangReadsFrom.load();
  if (hangFrom != 0 && offset + length > hangFrom) {
    for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
  }
  auto* out = static_cast<unsigned char*>(buffer);
  while (*bytesRead < length) {
    const ssize_t got = ::pread(fd, out + *bytesRead, length - *bytesRead, static_cast<off_t>(offset + *bytesRead));
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (got == 0) break;  // end of the volume
    *bytesRead += static_cast<size_t>(got);
  }
  return true;
}

}  // namespace

bool DriveLettersNeedMapping() { return true; }

void CVolumeDevice::ForceSectorSizeForTesting(uint32_t bytes) { g_forcedSectorSize = bytes; }

void CVolumeDevice::HangReadsForTesting(uint64_t fromByte) { g_hangReadsFrom = fromByte; }

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
  m_handle->file.reset();
  m_source.reset();
  m_sectorSize = 0;
  m_sectorSizeForced = false;
  m_bytesRead.store(0, std::memory_order_relaxed);
}

bool CVolumeDevice::IsOpen() const { return m_source != nullptr || m_handle->file != nullptr; }

uint32_t CVolumeDevice::SectorSize() const { return m_source != nullptr ? 1 : m_sectorSize; }

void* CVolumeDevice::NativeHandle() const { return nullptr; }

bool CVolumeDevice::ReadAt(uint64_t offset, void* buffer, size_t length, size_t* bytesRead) const {
  *bytesRead = 0;
  if (!IsOpen()) {
    errno = EBADF;
    return false;
  }
  // What the read needs, held by value: a read given up on runs on past its caller and this device.
  CBoundedReader::Read read = [file = m_handle->file, source = m_source, sectorSize = m_sectorSize,
                               forced = m_sectorSizeForced, offset](void* into, size_t bytes, size_t* got, uint32_t* error) {
    const bool done = source != nullptr
                          ? source->ReadAt(offset, into, bytes, got)
                          : ReadThroughSectors(sectorSize, offset, into, bytes, got,
                                               [&file, sectorSize, forced](uint64_t at, void* to, size_t count, size_t* n) {
                                                 return ReadWholeSectors(file->fd.Get(), sectorSize, forced, at, to, count, n);
                                               });
    if (!done) *error = LastSystemError();
    return done;
  };
  CReadGiveUp* const bounded = CReadGiveUp::Current();
  uint32_t error = 0;
  const bool done = bounded == nullptr ? read(buffer, length, bytesRead, &error)
                                       : bounded->Read(std::move(read), buffer, length, SectorSize(), bytesRead);
  m_bytesRead.fetch_add(*bytesRead, std::memory_order_relaxed);
  return done;
}

std::shared_ptr<CVolumeView> CVolumeView::Map(const CVolumeDevice& device) {
  // A device read in forced sectors stands for one that cannot be mapped.
  if (device.m_source != nullptr || device.m_handle->file == nullptr || device.m_sectorSizeForced) return nullptr;
  return MapVolumeDescriptor(device.m_handle->file->fd.Get(), &g_hangReadsFrom);
}

}  // namespace ostrin::platform
