// Damaging test images: a private copy of a made image whose bytes a test reads and patches, and
// where things are inside it (boot sector geometry, the byte offset of an MFT record). Standard file
// streams only, so the test programs that run under Wine patch copies too.
#pragma once

#include <cstdint>
#include <fstream>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/volume_device.h"

namespace ostrin::test {

// A temporary copy of an image in a folder of its own under the system's temporary folder, removed
// by the destructor (close whatever reads the copy first: Windows keeps an open file). Blocks of
// zeros are not written, so the copy is sparse where the file system allows.
class CImageCopy {
 public:
  explicit CImageCopy(const std::string& image);  // throws std::runtime_error
  ~CImageCopy();
  CImageCopy(const CImageCopy&) = delete;
  CImageCopy& operator=(const CImageCopy&) = delete;

  const std::string& Path() const { return m_path; }
  uint64_t Size() const;

  // Reads exactly length bytes at offset; throws std::runtime_error on a short read.
  std::vector<uint8_t> Read(uint64_t offset, size_t length) const;
  void Write(uint64_t offset, const std::vector<uint8_t>& bytes);
  void Write(uint64_t offset, const void* bytes, size_t length);
  // Little-endian integers of 1, 2, 4 or 8 bytes.
  uint64_t ReadLE(uint64_t offset, size_t width) const;
  void WriteLE(uint64_t offset, size_t width, uint64_t value);

 private:
  std::string m_folder;
  std::string m_path;
};

// An image file read the way a real device of its own kind reads, through the volume device's test
// seam: reads that touch a bad range fail as a bad sector does, and a device of large sectors
// refuses every read that is not whole sectors at a sector boundary.
class CImageSource : public ostrin::platform::IVolumeSource {
 public:
  explicit CImageSource(const std::string& image, uint32_t sectorSize = 1);  // throws std::runtime_error
  void AddBadRange(uint64_t offset, uint64_t length) { m_badRanges.emplace_back(offset, length); }
  bool ReadAt(uint64_t offset, void* buffer, size_t length, size_t* bytesRead) const override;

 private:
  std::string m_image;
  mutable std::mutex m_lock;  // the stream has one position
  mutable std::ifstream m_file;
  uint32_t m_sectorSize;
  std::vector<std::pair<uint64_t, uint64_t>> m_badRanges;
};

// What the boot sector says about the layout, by the size rules of NTFS (a clusters-per-record byte
// v > 0 means v clusters, v <= 0 means 2^-v bytes).
struct SBootGeometry {
  uint32_t bytesPerSector = 0;
  uint32_t clusterSize = 0;
  uint32_t fileRecordSize = 0;
  uint32_t indexBlockSize = 0;
  uint64_t mftOffset = 0;      // byte offset of the MFT's first cluster
  uint64_t mftMirrorOffset = 0;
  uint64_t totalSectors = 0;
};

// Reads the boot sector of an image file (volume at offset 0); throws std::runtime_error.
SBootGeometry ReadBootGeometry(const std::string& image);

// Byte offset of MFT record n in the image, assuming the MFT is one contiguous run from its first
// cluster (true for every test volume that has no "mftfrag"; the first 16 records always are).
uint64_t MftRecordOffset(const std::string& image, uint64_t record);

}  // namespace ostrin::test
