// Copies of test images, and reading and patching their bytes.
#include "tests/support/image_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "platform/posix/unique_fd.h"

namespace ostrin::test {
namespace {

using ostrin::platform::UniqueFd;

[[noreturn]] void Fail(const std::string& what) {
  throw std::runtime_error(what + ": " + std::strerror(errno));
}

UniqueFd OpenOrFail(const std::string& path, int flags) {
  UniqueFd fd(::open(path.c_str(), flags | O_CLOEXEC));
  if (!fd.IsValid()) Fail("cannot open " + path);
  return fd;
}

void ReadExactly(int fd, uint64_t offset, void* out, size_t length, const std::string& path) {
  auto* bytes = static_cast<uint8_t*>(out);
  size_t done = 0;
  while (done < length) {
    const ssize_t n = ::pread(fd, bytes + done, length - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw std::runtime_error("short read of " + path + " at " + std::to_string(offset + done));
    done += static_cast<size_t>(n);
  }
}

uint64_t LittleEndian(const uint8_t* bytes, size_t width) {
  uint64_t value = 0;
  for (size_t i = width; i-- > 0;) value = value << 8 | bytes[i];
  return value;
}

}  // namespace

CImageCopy::CImageCopy(const std::string& image) {
  char path[] = "/tmp/ostrin-image-copy-XXXXXX";
  UniqueFd out(::mkstemp(path));
  if (!out.IsValid()) Fail("cannot make a temporary image");
  m_path = path;
  UniqueFd in = OpenOrFail(image, O_RDONLY);
  struct stat st {};
  if (::fstat(in.Get(), &st) != 0 || ::ftruncate(out.Get(), st.st_size) != 0) Fail("cannot size " + m_path);
  // Only the data regions are copied, so the copy stays as sparse as the image.
  std::vector<uint8_t> buffer(1 << 20);
  off_t pos = 0;
  while (pos < st.st_size) {
    const off_t data = ::lseek(in.Get(), pos, SEEK_DATA);
    if (data < 0) break;  // no data after pos
    off_t hole = ::lseek(in.Get(), data, SEEK_HOLE);
    if (hole < 0) hole = st.st_size;
    for (off_t at = data; at < hole;) {
      const size_t n = static_cast<size_t>(std::min<off_t>(hole - at, static_cast<off_t>(buffer.size())));
      ReadExactly(in.Get(), static_cast<uint64_t>(at), buffer.data(), n, image);
      if (::pwrite(out.Get(), buffer.data(), n, at) != static_cast<ssize_t>(n)) Fail("cannot write " + m_path);
      at += static_cast<off_t>(n);
    }
    pos = hole;
  }
}

CImageCopy::~CImageCopy() { ::unlink(m_path.c_str()); }

uint64_t CImageCopy::Size() const {
  struct stat st {};
  if (::stat(m_path.c_str(), &st) != 0) Fail("cannot stat " + m_path);
  return static_cast<uint64_t>(st.st_size);
}

std::vector<uint8_t> CImageCopy::Read(uint64_t offset, size_t length) const {
  UniqueFd fd = OpenOrFail(m_path, O_RDONLY);
  std::vector<uint8_t> bytes(length);
  ReadExactly(fd.Get(), offset, bytes.data(), length, m_path);
  return bytes;
}

void CImageCopy::Write(uint64_t offset, const std::vector<uint8_t>& bytes) { Write(offset, bytes.data(), bytes.size()); }

void CImageCopy::Write(uint64_t offset, const void* bytes, size_t length) {
  UniqueFd fd = OpenOrFail(m_path, O_WRONLY);
  if (::pwrite(fd.Get(), bytes, length, static_cast<off_t>(offset)) != static_cast<ssize_t>(length)) {
    Fail("cannot patch " + m_path);
  }
}

uint64_t CImageCopy::ReadLE(uint64_t offset, size_t width) const {
  if (width == 0 || width > 8) throw std::invalid_argument("ReadLE width must be 1 to 8");
  return LittleEndian(Read(offset, width).data(), width);
}

void CImageCopy::WriteLE(uint64_t offset, size_t width, uint64_t value) {
  if (width == 0 || width > 8) throw std::invalid_argument("WriteLE width must be 1 to 8");
  uint8_t bytes[8];
  for (size_t i = 0; i < width; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
  Write(offset, bytes, width);
}

CImageSource::CImageSource(const std::string& image, uint32_t sectorSize)
    : m_fd(OpenOrFail(image, O_RDONLY)), m_sectorSize(sectorSize) {}

bool CImageSource::ReadAt(uint64_t offset, void* buffer, size_t length, size_t* bytesRead) const {
  *bytesRead = 0;
  if (offset % m_sectorSize != 0 || length % m_sectorSize != 0) {
    errno = EINVAL;
    return false;
  }
  for (const auto& [bad, badLength] : m_badRanges) {
    if (offset < bad + badLength && bad < offset + length) {
      errno = EIO;
      return false;
    }
  }
  auto* out = static_cast<uint8_t*>(buffer);
  while (*bytesRead < length) {
    const ssize_t n = ::pread(m_fd.Get(), out + *bytesRead, length - *bytesRead, static_cast<off_t>(offset + *bytesRead));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    *bytesRead += static_cast<size_t>(n);
  }
  return true;
}

SBootGeometry ReadBootGeometry(const std::string& image) {
  UniqueFd fd = OpenOrFail(image, O_RDONLY);
  uint8_t boot[512];
  ReadExactly(fd.Get(), 0, boot, sizeof boot, image);
  if (std::memcmp(boot + 3, "NTFS    ", 8) != 0) throw std::runtime_error(image + " has no NTFS boot sector");
  SBootGeometry g;
  g.bytesPerSector = static_cast<uint32_t>(LittleEndian(boot + 0x0B, 2));
  g.clusterSize = g.bytesPerSector * boot[0x0D];
  auto sized = [&](uint8_t raw) -> uint32_t {
    const auto v = static_cast<int8_t>(raw);
    return v > 0 ? static_cast<uint32_t>(v) * g.clusterSize : 1u << -v;
  };
  g.fileRecordSize = sized(boot[0x40]);
  g.indexBlockSize = sized(boot[0x44]);
  g.totalSectors = LittleEndian(boot + 0x28, 8);
  g.mftOffset = LittleEndian(boot + 0x30, 8) * g.clusterSize;
  g.mftMirrorOffset = LittleEndian(boot + 0x38, 8) * g.clusterSize;
  return g;
}

uint64_t MftRecordOffset(const std::string& image, uint64_t record) {
  const SBootGeometry g = ReadBootGeometry(image);
  return g.mftOffset + record * g.fileRecordSize;
}

}  // namespace ostrin::test
