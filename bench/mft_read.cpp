// ostrin-mft-read: reads the whole MFT of a volume in 1 MiB chunks through the same data runs the scan
// uses, and parses nothing: the floor under the scan's time on this machine. With --extents it reads
// nothing and prints where the MFT's bytes lie on the volume ("OFFSET LENGTH" per run, in bytes), so
// that a plain dd of the same bytes gives the floor without this reader.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include "common/exceptions.h"
#include "common/text.h"
#include "ntfs/attributes.h"
#include "ntfs/ntfs_volume.h"

int main(int argc, char** argv) {
  const bool extents = argc == 3 && std::string(argv[1]) == "--extents";
  if (argc != 2 && !extents) {
    std::fprintf(stderr, "usage: ostrin-mft-read [--extents] IMAGE\n");
    return 2;
  }
  try {
    const auto start = std::chrono::steady_clock::now();
    CNTFSVolume volume;
    volume.OpenPath(argv[argc - 1]);
    CAttrNonResident* mft = volume.MftData();
    const uint64_t size = volume.MftSize();
    if (extents) {
      const uint64_t clusterSize = volume.ClusterSize();
      for (const tagDataRun_Entry* run : mft->Runs()) {
        const uint64_t begin = run->startVcn * clusterSize;
        if (run->lcn == SPARSE_RUN_LCN || begin >= size) continue;
        std::printf("%llu %llu\n", static_cast<unsigned long long>(static_cast<uint64_t>(run->lcn) * clusterSize),
                    static_cast<unsigned long long>(std::min(run->clusters * clusterSize, size - begin)));
      }
      return 0;
    }
    constexpr uint32_t CHUNK = 1024 * 1024;
    auto buffer = std::make_unique<uint8_t[]>(CHUNK);
    uint64_t checksum = 0;
    for (uint64_t offset = 0; offset < size; offset += CHUNK) {
      const auto length = static_cast<uint32_t>(std::min<uint64_t>(CHUNK, size - offset));
      uint32_t got = 0;
      if (!mft->ReadValue(offset, buffer.get(), length, &got) || got != length) {
        std::fprintf(stderr, "ostrin-mft-read: read failed at %llu\n", static_cast<unsigned long long>(offset));
        return 1;
      }
      checksum += buffer[length - 1];  // keeps the reads from being optimised away
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%llu bytes in %.3f ms (%.0f MiB/s), checksum %llu\n", static_cast<unsigned long long>(size),
                seconds * 1000.0, static_cast<double>(size) / 1048576.0 / seconds, static_cast<unsigned long long>(checksum));
  } catch (const CException& e) {
    std::fprintf(stderr, "ostrin-mft-read: error %d: %s\n", e.Code(), WideToUtf8(e.Message()).c_str());
    return 1;
  }
  return 0;
}
