// Whole-sector reads: the alignment test and the bounce buffer (portable).
#include "platform/sector_reads.h"

#include <algorithm>

namespace ostrin::platform {

bool IsWholeSectors(uint32_t sectorSize, uint64_t offset, const void* buffer, size_t length) {
  if (sectorSize <= 1) return true;
  return offset % sectorSize == 0 && length % sectorSize == 0 && reinterpret_cast<uintptr_t>(buffer) % sectorSize == 0;
}

CSectorBuffer::CSectorBuffer(uint32_t sectorSize, size_t wanted) {
  const size_t sector = std::max<size_t>(sectorSize, 1);
  const size_t sectors = std::max<size_t>(1, std::min(wanted, MAX_BYTES) / sector);
  m_size = sectors * sector;
  m_memory.reset(new uint8_t[m_size + sector]);  // every byte read is written by the device first
  const uintptr_t address = reinterpret_cast<uintptr_t>(m_memory.get());
  m_data = m_memory.get() + (sector - address % sector) % sector;
}

}  // namespace ostrin::platform
