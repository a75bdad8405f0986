// The geometry of an NTFS boot sector.
#include "ntfs/volume_geometry.h"

#include <limits>

#include "common/byte_order.h"
#include "ntfs/file_record.h"
#include "ntfs/layout.h"

namespace {

// Limits of the geometry an NTFS volume can have.
constexpr uint32_t MIN_SECTOR_SIZE = 256;
constexpr uint32_t MAX_SECTOR_SIZE = 4096;
constexpr uint32_t MAX_CLUSTER_SIZE = 2 * 1024 * 1024;
constexpr uint32_t MAX_FILE_RECORD_SIZE = 64 * 1024;
constexpr uint32_t MIN_INDEX_BLOCK_SIZE = 256;
constexpr uint32_t MAX_INDEX_BLOCK_SIZE = 16 * 1024 * 1024;
// Sectors-per-cluster bytes above this encode 2^(256 - value) sectors (clusters beyond 64 KiB).
constexpr uint8_t MAX_PLAIN_SECTORS_PER_CLUSTER = 0x80;

bool IsPowerOfTwo(uint64_t value) { return value != 0 && (value & (value - 1)) == 0; }

// The size rule of the record and index block bytes: v > 0 is v clusters, v <= 0 is 2^-v bytes.
// 0 when the value gives no usable size.
uint64_t SizeFromSignedByte(int8_t value, uint32_t clusterSize) {
  if (value > 0) return static_cast<uint64_t>(value) * clusterSize;
  const int shift = -value;
  return shift < 32 ? uint64_t{1} << shift : 0;
}

}  // namespace

bool ReadVolumeGeometry(const uint8_t* bootSector, SVolumeGeometry* geometry) {
  const uint16_t bytesPerSector = READ_FIELD(NTFS_BOOT_SECTOR, bytesPerSector, bootSector);
  const uint8_t sectorsPerClusterByte = READ_FIELD(NTFS_BOOT_SECTOR, sectorsPerCluster, bootSector);
  if (!IsPowerOfTwo(bytesPerSector) || bytesPerSector < MIN_SECTOR_SIZE || bytesPerSector > MAX_SECTOR_SIZE ||
      sectorsPerClusterByte == 0) {
    return false;
  }
  uint64_t sectorsPerCluster = sectorsPerClusterByte;
  if (sectorsPerClusterByte > MAX_PLAIN_SECTORS_PER_CLUSTER) {
    const int shift = 256 - sectorsPerClusterByte;
    sectorsPerCluster = shift < 32 ? uint64_t{1} << shift : 0;
  }
  const uint64_t clusterSize = sectorsPerCluster * bytesPerSector;
  if (clusterSize == 0 || clusterSize > MAX_CLUSTER_SIZE) return false;

  const uint64_t fileRecordSize =
      SizeFromSignedByte(READ_FIELD(NTFS_BOOT_SECTOR, clustersPerFileRecord, bootSector), static_cast<uint32_t>(clusterSize));
  const uint64_t indexBlockSize =
      SizeFromSignedByte(READ_FIELD(NTFS_BOOT_SECTOR, clustersPerIndexBlock, bootSector), static_cast<uint32_t>(clusterSize));
  // Records are protected in 512-byte steps and read whole; anything else is not a record size.
  if (fileRecordSize < UPDATE_SEQUENCE_STRIDE || fileRecordSize > MAX_FILE_RECORD_SIZE ||
      fileRecordSize % UPDATE_SEQUENCE_STRIDE != 0) {
    return false;
  }
  if (indexBlockSize < MIN_INDEX_BLOCK_SIZE || indexBlockSize > MAX_INDEX_BLOCK_SIZE) return false;

  const uint64_t mftCluster = READ_FIELD(NTFS_BOOT_SECTOR, mftCluster, bootSector);
  if (mftCluster > std::numeric_limits<uint64_t>::max() / clusterSize) return false;
  const uint64_t totalSectors = READ_FIELD(NTFS_BOOT_SECTOR, totalSectors, bootSector);
  if (totalSectors > std::numeric_limits<uint64_t>::max() / bytesPerSector) return false;

  geometry->bytesPerSector = bytesPerSector;
  geometry->clusterSize = static_cast<uint32_t>(clusterSize);
  geometry->fileRecordSize = static_cast<uint32_t>(fileRecordSize);
  geometry->indexBlockSize = static_cast<uint32_t>(indexBlockSize);
  geometry->mftOffset = mftCluster * clusterSize;
  geometry->volumeSize = totalSectors * bytesPerSector;
  return true;
}
