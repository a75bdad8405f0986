// The sparse volume input of the volume fuzz targets, and the devices that read volumes from memory.
#include "fuzz/fuzz_volume.h"

#include <algorithm>
#include <cstring>
#include <fstream>

#include "common/byte_order.h"

namespace ostrin::fuzz {

bool ParseFuzzVolume(const uint8_t* input, size_t inputSize, SParsedVolume* parsed) {
  parsed->extents.clear();
  if (inputSize < FUZZ_VOLUME_HEADER_SIZE) return false;
  parsed->size = ReadLE<uint64_t>(input);
  size_t at = FUZZ_VOLUME_HEADER_SIZE;
  while (inputSize - at >= FUZZ_EXTENT_HEADER_SIZE) {
    SVolumeExtent extent;
    extent.offset = ReadLE<uint64_t>(input + at);
    const uint32_t length = ReadLE<uint32_t>(input + at + 8);
    at += FUZZ_EXTENT_HEADER_SIZE;
    extent.length = static_cast<uint32_t>(std::min<size_t>(length, inputSize - at));
    extent.data = input + at;
    extent.inputOffset = at;
    at += extent.length;
    if (extent.length != 0) parsed->extents.push_back(extent);
  }
  return true;
}

CFuzzVolumeWriter::CFuzzVolumeWriter(uint64_t volumeSize) : m_bytes(FUZZ_VOLUME_HEADER_SIZE) {
  WriteLE<uint64_t>(m_bytes.data(), volumeSize);
}

void CFuzzVolumeWriter::AddExtent(uint64_t offset, const uint8_t* data, uint32_t length) {
  const size_t at = m_bytes.size();
  m_bytes.resize(at + FUZZ_EXTENT_HEADER_SIZE + length);
  WriteLE<uint64_t>(m_bytes.data() + at, offset);
  WriteLE<uint32_t>(m_bytes.data() + at + 8, length);
  std::memcpy(m_bytes.data() + at + FUZZ_EXTENT_HEADER_SIZE, data, length);
}

CFuzzVolumeSource::CFuzzVolumeSource(SParsedVolume volume) : m_volume(std::move(volume)) {}

bool CFuzzVolumeSource::ReadAt(uint64_t offset, void* buffer, size_t length, size_t* bytesRead) const {
  *bytesRead = 0;
  if (offset >= m_volume.size) return true;  // the end of the volume, as a device reports it
  const size_t count = static_cast<size_t>(std::min<uint64_t>(length, m_volume.size - offset));
  auto* out = static_cast<uint8_t*>(buffer);
  std::memset(out, 0, count);
  const uint64_t end = offset + count;
  for (const SVolumeExtent& extent : m_volume.extents) {
    // Extents may lie anywhere, even across the end of the 64-bit range.
    const uint64_t extentEnd = extent.offset + std::min<uint64_t>(extent.length, UINT64_MAX - extent.offset);
    const uint64_t from = std::max(offset, extent.offset);
    const uint64_t to = std::min(end, extentEnd);
    if (from < to) std::memcpy(out + (from - offset), extent.data + (from - extent.offset), to - from);
  }
  *bytesRead = count;
  return true;
}

bool CImageSource::ReadAt(uint64_t offset, void* buffer, size_t length, size_t* bytesRead) const {
  *bytesRead = 0;
  if (offset >= m_bytes.size()) return true;
  const size_t count = static_cast<size_t>(std::min<uint64_t>(length, m_bytes.size() - offset));
  std::memcpy(buffer, m_bytes.data() + offset, count);
  *bytesRead = count;
  return true;
}

std::vector<uint8_t> ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) return {};
  std::vector<uint8_t> bytes(static_cast<size_t>(in.tellg()));
  in.seekg(0);
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!in) return {};
  return bytes;
}

}  // namespace ostrin::fuzz
