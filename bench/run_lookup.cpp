// ostrin-run-lookup: how the reads of a value of many runs, in record-sized pieces, cost as its run
// count grows: the same reads with the runs walked from the first one and found by binary search (what
// the MFT's data does once a volume is open). The value is made in memory over clusters of a real
// volume, so the reads go to its device.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "common/byte_order.h"
#include "common/exceptions.h"
#include "common/text.h"
#include "ntfs/attributes.h"
#include "ntfs/file_record.h"
#include "ntfs/layout.h"
#include "ntfs/ntfs_volume.h"

namespace {

constexpr uint64_t READS = 20000;
constexpr uint64_t FIRST_CLUSTER = 100;

// A non-resident $DATA attribute of runs one-cluster runs, alternately on FIRST_CLUSTER and two
// clusters further, so that no two runs merge.
std::vector<uint8_t> ManyRunAttribute(uint64_t runs, uint32_t clusterSize) {
  constexpr uint32_t RUNS_OFFSET = sizeof(NONRESIDENT_ATTRIBUTE_HEADER);
  std::vector<uint8_t> attribute(RUNS_OFFSET + 3 * runs + 8, 0);
  WriteLE<uint32_t>(&attribute[offsetof(ATTRIBUTE_HEADER, type)], ATTR_TYPE_DATA);
  WriteLE<uint32_t>(&attribute[offsetof(ATTRIBUTE_HEADER, length)], static_cast<uint32_t>(attribute.size()));
  attribute[offsetof(ATTRIBUTE_HEADER, nonResident)] = 1;
  WriteLE<uint64_t>(&attribute[offsetof(NONRESIDENT_ATTRIBUTE_HEADER, lastVcn)], runs - 1);
  WriteLE<uint16_t>(&attribute[offsetof(NONRESIDENT_ATTRIBUTE_HEADER, mappingPairsOffset)], RUNS_OFFSET);
  for (const size_t field : {offsetof(NONRESIDENT_ATTRIBUTE_HEADER, allocatedSize), offsetof(NONRESIDENT_ATTRIBUTE_HEADER, dataSize),
                             offsetof(NONRESIDENT_ATTRIBUTE_HEADER, initializedSize)}) {
    WriteLE<uint64_t>(&attribute[field], runs * clusterSize);
  }
  uint8_t* run = &attribute[RUNS_OFFSET];
  for (uint64_t i = 0; i < runs; ++i, run += 3) {
    run[0] = 0x11;  // one byte of length, one of LCN offset
    run[1] = 1;
    run[2] = i == 0 ? static_cast<uint8_t>(FIRST_CLUSTER) : (i % 2 != 0 ? 2 : 0xFE);
  }
  return attribute;
}

double ReadMs(const CAttrNonResident& value, uint64_t runs, uint32_t clusterSize, uint32_t pieceSize) {
  std::vector<uint8_t> piece(pieceSize);
  const auto start = std::chrono::steady_clock::now();
  for (uint64_t i = 0; i < READS; ++i) {
    CAttrNonResident::EReadFault fault = CAttrNonResident::EReadFault::None;
    if (!value.ReadStored(i * runs / READS * clusterSize, piece.data(), piece.size(), &fault)) {
      std::fprintf(stderr, "ostrin-run-lookup: read %llu failed\n", static_cast<unsigned long long>(i));
      return -1;
    }
  }
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: ostrin-run-lookup IMAGE\n");
    return 2;
  }
  try {
    CNTFSVolume volume;
    volume.OpenPath(argv[1]);
    CFileRecord owner(&volume);
    std::printf("%llu reads of %u bytes each:\n", static_cast<unsigned long long>(READS), volume.FileRecordSize());
    for (const uint64_t runs : {uint64_t{20000}, uint64_t{200000}}) {
      const std::vector<uint8_t> bytes = ManyRunAttribute(runs, volume.ClusterSize());
      CAttrNonResident value(bytes.data(), &owner);
      const double walked = ReadMs(value, runs, volume.ClusterSize(), volume.FileRecordSize());
      value.IndexRuns();
      const double searched = ReadMs(value, runs, volume.ClusterSize(), volume.FileRecordSize());
      std::printf("%7llu runs: walked from the first run %9.1f ms, by binary search %7.1f ms\n",
                  static_cast<unsigned long long>(runs), walked, searched);
    }
  } catch (const CException& e) {
    std::fprintf(stderr, "ostrin-run-lookup: error %d: %s\n", e.Code(), WideToUtf8(e.Message()).c_str());
    return 1;
  }
  return 0;
}
