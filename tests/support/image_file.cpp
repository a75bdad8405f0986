// Copies of test images, and reading and patching their bytes, through standard file streams.
#include "tests/support/image_file.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <random>
#include <stdexcept>

#include "platform/system_error.h"

namespace ostrin::test {
namespace {

namespace fs = std::filesystem;

std::ifstream OpenForReading(const std::string& path) {
  std::ifstream file(fs::path(path), std::ios::binary);
  if (!file) throw std::runtime_error("cannot open " + path);
  return file;
}

// Reads up to length bytes at offset; how many arrived (fewer at the end of the file).
size_t ReadAtMost(std::istream& file, uint64_t offset, void* out, size_t length) {
  file.clear();
  if (!file.seekg(static_cast<std::streamoff>(offset))) {
    file.clear();
    return 0;
  }
  file.read(static_cast<char*>(out), static_cast<std::streamsize>(length));
  const auto n = static_cast<size_t>(file.gcount());
  file.clear();
  return n;
}

void ReadExactly(std::istream& file, uint64_t offset, void* out, size_t length, const std::string& path) {
  const size_t n = ReadAtMost(file, offset, out, length);
  if (n != length) throw std::runtime_error("short read of " + path + " at " + std::to_string(offset + n));
}

uint64_t LittleEndian(const uint8_t* bytes, size_t width) {
  uint64_t value = 0;
  for (size_t i = width; i-- > 0;) value = value << 8 | bytes[i];
  return value;
}

// A folder of its own under the temporary folder: creating a folder fails when it exists, so two
// processes never share one.
fs::path MakeCopyFolder() {
  std::random_device seed;
  std::mt19937_64 random(seed());
  const fs::path base = fs::temp_directory_path();
  for (int attempt = 0; attempt < 100; ++attempt) {
    const fs::path folder = base / ("ostrin-image-copy-" + std::to_string(random()));
    std::error_code ec;
    if (fs::create_directory(folder, ec)) return folder;
    if (ec) throw std::runtime_error("cannot make a folder in " + base.string() + ": " + ec.message());
  }
  throw std::runtime_error("cannot make a folder of its own in " + base.string());
}

}  // namespace

CImageCopy::CImageCopy(const std::string& image) {
  const fs::path folder = MakeCopyFolder();
  m_folder = folder.string();
  m_path = (folder / "image.img").string();
  try {
    std::ifstream in = OpenForReading(image);
    const uint64_t size = fs::file_size(fs::path(image));
    if (!std::ofstream(fs::path(m_path), std::ios::binary)) throw std::runtime_error("cannot make " + m_path);
    fs::resize_file(fs::path(m_path), size);
    std::fstream out(fs::path(m_path), std::ios::binary | std::ios::in | std::ios::out);
    if (!out) throw std::runtime_error("cannot open " + m_path);
    // Blocks of zeros stay holes of the sized copy.
    std::vector<char> buffer(64 << 10);
    for (uint64_t at = 0; at < size;) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(size - at, buffer.size()));
      ReadExactly(in, at, buffer.data(), n, image);
      const auto end = buffer.begin() + static_cast<std::ptrdiff_t>(n);
      if (std::any_of(buffer.begin(), end, [](char c) { return c != 0; })) {
        out.seekp(static_cast<std::streamoff>(at));
        if (!out.write(buffer.data(), static_cast<std::streamsize>(n))) {
          throw std::runtime_error("cannot write " + m_path);
        }
      }
      at += n;
    }
    if (!out.flush()) throw std::runtime_error("cannot write " + m_path);
  } catch (...) {
    std::error_code ec;
    fs::remove_all(fs::path(m_folder), ec);
    throw;
  }
}

CImageCopy::~CImageCopy() {
  std::error_code ec;
  fs::remove_all(fs::path(m_folder), ec);
}

uint64_t CImageCopy::Size() const { return fs::file_size(fs::path(m_path)); }

std::vector<uint8_t> CImageCopy::Read(uint64_t offset, size_t length) const {
  std::ifstream file = OpenForReading(m_path);
  std::vector<uint8_t> bytes(length);
  ReadExactly(file, offset, bytes.data(), length, m_path);
  return bytes;
}

void CImageCopy::Write(uint64_t offset, const std::vector<uint8_t>& bytes) { Write(offset, bytes.data(), bytes.size()); }

void CImageCopy::Write(uint64_t offset, const void* bytes, size_t length) {
  std::fstream file(fs::path(m_path), std::ios::binary | std::ios::in | std::ios::out);
  if (!file || !file.seekp(static_cast<std::streamoff>(offset)) ||
      !file.write(static_cast<const char*>(bytes), static_cast<std::streamsize>(length)) || !file.flush()) {
    throw std::runtime_error("cannot patch " + m_path + " at " + std::to_string(offset));
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
    : m_image(image), m_file(OpenForReading(image)), m_sectorSize(sectorSize) {}

bool CImageSource::ReadAt(uint64_t offset, void* buffer, size_t length, size_t* bytesRead) const {
  *bytesRead = 0;
  // A device refuses a read that is not whole sectors, and a bad sector fails as the device fails.
  if (offset % m_sectorSize != 0 || length % m_sectorSize != 0) {
    ostrin::platform::SetLastSystemError(ostrin::platform::ErrorReadFault());
    return false;
  }
  for (const auto& [bad, badLength] : m_badRanges) {
    if (offset < bad + badLength && bad < offset + length) {
      ostrin::platform::SetLastSystemError(ostrin::platform::ErrorReadFault());
      return false;
    }
  }
  std::lock_guard<std::mutex> lock(m_lock);
  *bytesRead = ReadAtMost(m_file, offset, buffer, length);
  if (m_file.bad()) {
    ostrin::platform::SetLastSystemError(ostrin::platform::ErrorReadFault());
    return false;
  }
  return true;
}

SBootGeometry ReadBootGeometry(const std::string& image) {
  std::ifstream file = OpenForReading(image);
  uint8_t boot[512];
  ReadExactly(file, 0, boot, sizeof boot, image);
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
