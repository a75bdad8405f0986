// libFuzzer target: opening a volume from a mutated first megabyte (the sparse format of
// fuzz_volume.h, mutated with the boot sector and records 0 to 15 in focus): the boot sector's
// geometry, the version check of record 3, the MFT's own record 0 with its extents; then the system
// records are loaded with every attribute type and their values read, as a volume tool would.
#include <cstdint>
#include <memory>

#include "common/exceptions.h"
#include "fuzz/fuzz_volume.h"
#include "fuzz/volume_mutator.h"
#include "ntfs/attributes.h"
#include "ntfs/file_record.h"
#include "ntfs/ntfs_volume.h"

namespace {

constexpr uint64_t SYSTEM_RECORDS = 16;
constexpr uint32_t VALUE_PROBE = 512;

void ReadRecord(CNTFSVolume& volume, uint64_t number) {
  CFileRecord record(&volume);
  record.SetAttributeMask(ATTRIBUTE_MASK_ALL);
  if (!record.LoadRecord(number) || !record.BuildAttributeLists()) return;
  record.GetCompressedAllocation();
  for (uint32_t type = 0x10; type <= 0x100; type += 0x10) {
    for (CAttrBase* attribute : record.AttributesOf(type)) {
      uint8_t value[VALUE_PROBE];
      uint32_t got = 0;
      uint64_t allocated = 0;
      const uint64_t size = attribute->GetValueSize(&allocated);
      attribute->ReadValue(0, value, sizeof value, &got);
      if (size > sizeof value) attribute->ReadValue(size - sizeof value / 2, value, sizeof value, &got);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ostrin::fuzz::SParsedVolume parsed;
  if (!ostrin::fuzz::ParseFuzzVolume(data, size, &parsed)) return 0;
  CNTFSVolume volume;
  try {
    volume.OpenSource(std::make_shared<ostrin::fuzz::CFuzzVolumeSource>(std::move(parsed)));
  } catch (const CException&) {
    return 0;
  }
  volume.MftRecordCount();
  volume.VolumeLabel();
  for (uint64_t number = 0; number < SYSTEM_RECORDS; ++number) ReadRecord(volume, number);
  return 0;
}

extern "C" size_t LLVMFuzzerCustomMutator(uint8_t* data, size_t size, size_t maxSize, unsigned seed) {
  return ostrin::fuzz::MutateVolume(data, size, maxSize, seed, ostrin::fuzz::EMutationFocus::Open);
}

extern "C" size_t LLVMFuzzerCustomCrossOver(const uint8_t* first, size_t firstSize, const uint8_t* second,
                                            size_t secondSize, uint8_t* out, size_t maxOutSize, unsigned seed) {
  return ostrin::fuzz::CrossOverVolumes(first, firstSize, second, secondSize, out, maxOutSize, seed);
}
