// The input of the volume fuzz targets: a volume held as a few extents of bytes over zeros, small
// enough for a fuzzer to mutate (the MFT, the boot sector and the clusters of attribute lists of a
// made volume, not its empty space or file data), and the device that reads it.
//
// Layout, little-endian, no padding:
//   0x00  u64  volume size in bytes: reads end there
//   0x08  extents, each: u64 volume offset, u32 length n, n bytes
// A read returns zeros where no extent lies; where extents overlap, the later one counts. An extent
// cut short by the end of the input keeps the bytes that are there; nothing in the input is trusted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/volume_device.h"

namespace ostrin::fuzz {

inline constexpr size_t FUZZ_VOLUME_HEADER_SIZE = 8;
inline constexpr size_t FUZZ_EXTENT_HEADER_SIZE = 12;

// One extent of a parsed input; data points into the input, inputOffset bytes from its start.
struct SVolumeExtent {
  uint64_t offset = 0;
  const uint8_t* data = nullptr;
  uint32_t length = 0;
  size_t inputOffset = 0;
};

struct SParsedVolume {
  uint64_t size = 0;
  std::vector<SVolumeExtent> extents;
};

// Splits an input into its extents (pointing into it); false when it is too short for the header.
bool ParseFuzzVolume(const uint8_t* input, size_t inputSize, SParsedVolume* parsed);

// Writes the header and the extents of a volume in the input format.
class CFuzzVolumeWriter {
 public:
  explicit CFuzzVolumeWriter(uint64_t volumeSize);
  void AddExtent(uint64_t offset, const uint8_t* data, uint32_t length);
  const std::vector<uint8_t>& Bytes() const { return m_bytes; }

 private:
  std::vector<uint8_t> m_bytes;
};

// The device over a parsed input: it reads the input's bytes in place, so the input must outlive it.
class CFuzzVolumeSource : public ostrin::platform::IVolumeSource {
 public:
  explicit CFuzzVolumeSource(SParsedVolume volume);
  bool ReadAt(uint64_t offset, void* buffer, size_t length, size_t* bytesRead) const override;

 private:
  SParsedVolume m_volume;
};

// A whole image file in memory, read as the device (the volumes that record-level targets parse
// against).
class CImageSource : public ostrin::platform::IVolumeSource {
 public:
  explicit CImageSource(std::vector<uint8_t> bytes) : m_bytes(std::move(bytes)) {}
  bool ReadAt(uint64_t offset, void* buffer, size_t length, size_t* bytesRead) const override;
  const std::vector<uint8_t>& Bytes() const { return m_bytes; }

 private:
  std::vector<uint8_t> m_bytes;
};

// The bytes of a file; empty when it cannot be read.
std::vector<uint8_t> ReadWholeFile(const std::string& path);

}  // namespace ostrin::fuzz
