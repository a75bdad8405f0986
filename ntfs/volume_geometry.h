// The geometry a boot sector gives an NTFS volume, checked against what NTFS can have: read once here
// for the volume reader, the tools and the fuzz targets.
#pragma once

#include <cstdint>

struct SVolumeGeometry {
  uint16_t bytesPerSector = 0;
  uint32_t clusterSize = 0;
  uint32_t fileRecordSize = 0;
  uint32_t indexBlockSize = 0;
  uint64_t mftOffset = 0;
  uint64_t volumeSize = 0;  // total sectors x bytes per sector
};

// The geometry of a boot sector (at least its first 0x50 bytes); false when a value is one no NTFS
// volume has (a sector or cluster size out of range, a record size that is no multiple of the update
// sequence's stride, an MFT or volume beyond 2^64 bytes).
bool ReadVolumeGeometry(const uint8_t* bootSector, SVolumeGeometry* geometry);
