// libFuzzer target: one MFT record of arbitrary bytes, parsed the way the scan and the volume parse
// records (fix-ups, the attribute walk with every mask, attribute lists, values and names). The first
// made volume (fuzz_support.h) supplies the geometry and the extension records.
#include <algorithm>
#include <cstring>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "ntfs/attributes.h"
#include "ntfs/file_record.h"
#include "ntfs/ntfs_volume.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CNTFSVolume* volume = &ostrin::fuzz::FuzzVolume(0);
  std::vector<uint8_t> bytes(volume->FileRecordSize(), 0);
  std::memcpy(bytes.data(), data, std::min(size, bytes.size()));
  for (const uint32_t mask : {ATTRIBUTE_MASK_SCAN, ATTRIBUTE_MASK_ALL, ATTRIBUTE_MASK_VOLUME_CHECK}) {
    std::vector<uint8_t> record = bytes;
    CFileRecord parsed(volume);
    parsed.AttachBuffer(record.data(), 100);
    if (!parsed.ApplyFixups(record.data())) return 0;
    parsed.SetAttributeMask(mask);
    parsed.BuildAttributeLists();
    parsed.GetCompressedAllocation();
    for (uint32_t type = 0x10; type <= 0x100; type += 0x10) {
      for (CAttrBase* attribute : parsed.AttributesOf(type)) {
        uint8_t value[64];
        uint32_t got = 0;
        attribute->ReadValue(0, value, sizeof value, &got);
        attribute->ReadValue(attribute->GetValueSize() / 2, value, sizeof value, &got);
        if (type == ATTR_TYPE_FILE_NAME) {
          WCHAR name[CFileName::MAX_NAME_UNITS + 1];
          static_cast<CAttrFileName*>(attribute)->CopyName(name);
        }
      }
    }
  }
  return 0;
}
