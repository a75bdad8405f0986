// ostrin-volinfo: opens a volume with the volume reader and prints its geometry, NTFS version and MFT.
#include <cstdio>
#include <string>

#include "common/exceptions.h"
#include "common/text.h"
#include "ntfs/attributes.h"
#include "ntfs/ntfs_volume.h"
#include "tools/volume_argument.h"

namespace {

int Usage() {
  std::fprintf(stderr,
               "usage: ostrin-volinfo VOLUME\n"
               "  VOLUME is a drive letter (\"C\" or \"C:\", mapped by volume.C in OstrinNT.ini on Linux)\n"
               "  or the path of an NTFS device or image file.\n");
  return 2;
}

void PrintVolume(const std::string& name, const CNTFSVolume& volume) {
  const auto* mftData = dynamic_cast<const CAttrNonResident*>(volume.MftData());
  uint64_t runs = 0;
  int64_t firstLcn = -1;
  if (mftData != nullptr) {
    for (const tagDataRun_Entry* run : mftData->Runs()) {
      if (runs++ == 0) firstLcn = run->lcn;
    }
  }
  std::printf("Device: %s\n", name.c_str());
  std::printf("Volume Name: %s\n", WideToUtf8(volume.VolumeLabel()).c_str());
  std::printf("Volume Version: %u.%u\n", volume.NtfsVersion() >> 8, volume.NtfsVersion() & 0xFF);
  std::printf("Sector Size: %u\n", volume.BytesPerSector());
  std::printf("Cluster Size: %u\n", volume.ClusterSize());
  std::printf("Index Block Size: %u\n", volume.IndexBlockSize());
  std::printf("MFT Record Size: %u\n", volume.FileRecordSize());
  std::printf("MFT Offset: %llu\n", static_cast<unsigned long long>(volume.MftOffset()));
  std::printf("LCN of Data Attribute for FILE_MFT: %lld\n", static_cast<long long>(firstLcn));
  std::printf("MFT Size: %llu\n", static_cast<unsigned long long>(volume.MftSize()));
  std::printf("MFT Records: %llu\n", static_cast<unsigned long long>(volume.MftRecordCount()));
  std::printf("MFT Data Runs: %llu\n", static_cast<unsigned long long>(runs));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return Usage();
  const std::string argument = argv[1];
  CNTFSVolume volume;
  try {
    if (const auto letter = DriveLetterArgument(argument)) {
      volume.OpenLetter(*letter);
    } else {
      volume.OpenPath(argument);
    }
  } catch (const CException& e) {
    std::fprintf(stderr, "ostrin-volinfo: %s: error %d: %s\n", argument.c_str(), e.Code(), WideToUtf8(e.Message()).c_str());
    return 1;
  }
  PrintVolume(argument, volume);
  return 0;
}
