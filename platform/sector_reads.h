// Reads of any byte range from a device that reads only whole sectors: a volume device on Windows is
// read without the cache, where an offset, a length or a memory address that is not a multiple of the
// logical sector size fails the read (a 4Kn disk has sectors of 4096 bytes).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

namespace ostrin::platform {

// Whether a read is whole sectors: offset, length and the buffer's address are multiples of
// sectorSize. Every read is whole sectors of size 0 or 1 (no alignment needed).
bool IsWholeSectors(uint32_t sectorSize, uint64_t offset, const void* buffer, size_t length);

// Memory aligned to a sector, for reads that are not whole sectors by themselves: at least one
// sector, at most MAX_BYTES, a whole number of sectors.
class CSectorBuffer {
 public:
  static constexpr size_t MAX_BYTES = 1 << 20;
  CSectorBuffer(uint32_t sectorSize, size_t wanted);
  uint8_t* Data() const { return m_data; }
  size_t Size() const { return m_size; }

 private:
  std::unique_ptr<uint8_t[]> m_memory;
  uint8_t* m_data = nullptr;
  size_t m_size = 0;
};

// Reads length bytes at offset into buffer through readWhole(offset, buffer, length, bytesRead),
// which the caller calls only with whole sectors of sectorSize and which reports a short read only
// at the end of the device. A request of whole sectors goes straight to the device; any other is read
// in whole sectors through a bounce buffer of at most CSectorBuffer::MAX_BYTES and copied. Returns
// false when a read fails; *bytesRead counts the bytes that arrived (fewer at the end of the device).
template <typename ReadWhole>
bool ReadThroughSectors(uint32_t sectorSize, uint64_t offset, void* buffer, size_t length, size_t* bytesRead,
                        ReadWhole&& readWhole) {
  *bytesRead = 0;
  if (IsWholeSectors(sectorSize, offset, buffer, length)) return readWhole(offset, buffer, length, bytesRead);
  const CSectorBuffer bounce(sectorSize, length + 2 * static_cast<size_t>(sectorSize));
  auto* out = static_cast<uint8_t*>(buffer);
  while (*bytesRead < length) {
    const uint64_t position = offset + *bytesRead;
    const uint64_t start = position - position % sectorSize;
    const size_t skip = static_cast<size_t>(position - start);
    const size_t wanted = length - *bytesRead;
    size_t ask = bounce.Size();
    if (wanted < bounce.Size() - skip) ask = (skip + wanted + sectorSize - 1) / sectorSize * sectorSize;
    size_t got = 0;
    if (!readWhole(start, bounce.Data(), ask, &got)) return false;
    if (got <= skip) break;  // the end of the device
    const size_t copied = got - skip < wanted ? got - skip : wanted;
    std::memcpy(out + *bytesRead, bounce.Data() + skip, copied);
    *bytesRead += copied;
    if (got < ask) break;
  }
  return true;
}

}  // namespace ostrin::platform
