// libFuzzer target: directory index attributes. The input is the attribute area of a directory
// record (index root, index allocation and bitmap attributes, among others); the target frames it in
// a record of the first made volume (header, update sequence, end marker), encodes the record's
// fix-ups over it, and parses the record the way any record is parsed, with every attribute type
// wanted. Then it walks the index root's entries (keys, names, references, the last-entry flag),
// reads the index allocation block by block and the bitmaps.
#include <cstdint>
#include <cstring>
#include <vector>

#include "common/byte_order.h"
#include "fuzz/fuzz_support.h"
#include "ntfs/attributes.h"
#include "ntfs/file_record.h"
#include "ntfs/index_entries.h"
#include "ntfs/layout.h"

namespace {

// The frame's layout: the update sequence right after the header, the attributes after it, as
// ntfs-3g lays out the records it writes.
constexpr uint16_t USA_OFFSET = 0x30;
constexpr uint32_t STRIDE = UPDATE_SEQUENCE_STRIDE;
constexpr uint64_t FRAME_RECORD_NUMBER = 64;
constexpr uint64_t MAX_BLOCKS_READ = 4;
constexpr uint16_t FRAME_SEQUENCE = 0x0107;

std::vector<uint8_t> FrameRecord(const uint8_t* attributes, size_t size, uint32_t recordSize) {
  std::vector<uint8_t> record(recordSize, 0);
  std::memcpy(record.data(), FILE_RECORD_SIGNATURE, sizeof FILE_RECORD_SIGNATURE);
  const uint16_t count = static_cast<uint16_t>(recordSize / STRIDE + 1);
  const uint16_t firstAttribute = static_cast<uint16_t>((USA_OFFSET + 2 * count + 7) / 8 * 8);
  WriteLE<uint16_t>(record.data() + offsetof(FILE_RECORD_HEADER, usaOffset), USA_OFFSET);
  WriteLE<uint16_t>(record.data() + offsetof(FILE_RECORD_HEADER, usaCount), count);
  WriteLE<uint16_t>(record.data() + offsetof(FILE_RECORD_HEADER, firstAttributeOffset), firstAttribute);
  WriteLE<uint16_t>(record.data() + offsetof(FILE_RECORD_HEADER, flags), FILE_RECORD_IN_USE | FILE_RECORD_DIRECTORY);
  const size_t room = recordSize - firstAttribute - 8;
  const size_t taken = std::min(size, room);
  std::memcpy(record.data() + firstAttribute, attributes, taken);
  WriteLE<uint32_t>(record.data() + firstAttribute + taken, ATTR_TYPE_END);
  WriteLE<uint32_t>(record.data() + offsetof(FILE_RECORD_HEADER, bytesInUse), static_cast<uint32_t>(firstAttribute + taken + 8));
  WriteLE<uint32_t>(record.data() + offsetof(FILE_RECORD_HEADER, bytesAllocated), recordSize);
  // The words at the end of every stride go into the update sequence; the sequence number takes
  // their place, as on disk.
  WriteLE<uint16_t>(record.data() + USA_OFFSET, FRAME_SEQUENCE);
  for (uint32_t i = 1; i < count; ++i) {
    std::memcpy(record.data() + USA_OFFSET + 2 * i, record.data() + i * STRIDE - 2, 2);
    WriteLE<uint16_t>(record.data() + i * STRIDE - 2, FRAME_SEQUENCE);
  }
  return record;
}

void CheckName(const CFileName& name) {
  if (!name.HasValue()) return;
  WCHAR copy[CFileName::MAX_NAME_UNITS + 1];
  const uint32_t length = name.CopyName(copy);
  if (length > name.NameLengthInValue() || copy[length] != 0) std::abort();
  if (name.UpperName() != nullptr) {
    for (uint32_t i = 0; i < length; ++i) {
      const WCHAR unit = copy[i];
      const WCHAR upper = unit >= 'a' && unit <= 'z' ? static_cast<WCHAR>(unit - 'a' + 'A') : unit;
      if (name.UpperName()[i] != upper) std::abort();
    }
  }
  name.ParentRecord();
  name.NameSpace();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CNTFSVolume& volume = ostrin::fuzz::FuzzVolume(0);
  std::vector<uint8_t> bytes = FrameRecord(data, size, volume.FileRecordSize());
  CFileRecord record(&volume);
  record.AttachBuffer(bytes.data(), FRAME_RECORD_NUMBER);
  if (!record.ApplyFixups(bytes.data())) std::abort();  // the frame's own fix-ups are valid
  record.SetAttributeMask(ATTRIBUTE_MASK_ALL);
  if (!record.BuildAttributeLists()) return 0;

  for (CAttrBase* attribute : record.AttributesOf(ATTR_TYPE_INDEX_ROOT)) {
    auto* root = dynamic_cast<CAttrIndexRoot*>(attribute);
    if (root == nullptr) continue;
    root->IndexedType();
    for (const CIndexEntry* entry : *root) {
      entry->FileReference();
      entry->IsLast();
      CheckName(*entry);
    }
  }
  for (CAttrBase* attribute : record.AttributesOf(ATTR_TYPE_INDEX_ALLOCATION)) {
    auto* allocation = dynamic_cast<CAttrIndexAllocation*>(attribute);
    if (allocation == nullptr) continue;
    std::vector<uint8_t> block(volume.IndexBlockSize());
    for (uint64_t i = 0; i < std::min(allocation->BlockCount(), MAX_BLOCKS_READ); ++i) {
      uint32_t got = 0;
      allocation->ReadValue(i * block.size(), block.data(), static_cast<uint32_t>(block.size()), &got);
    }
  }
  for (CAttrBase* attribute : record.AttributesOf(ATTR_TYPE_BITMAP)) {
    if (auto* resident = dynamic_cast<CAttrBitmap<CAttrResident>*>(attribute)) {
      if (resident->Bitmap() != nullptr) {
        volatile uint8_t sum = 0;
        for (uint64_t i = 0; i < resident->BitmapSize(); ++i) sum = sum + resident->Bitmap()[i];
      }
    } else if (auto* stored = dynamic_cast<CAttrBitmap<CAttrNonResident>*>(attribute)) {
      uint8_t first[64];
      uint32_t got = 0;
      if (stored->BitmapSize() != 0) stored->ReadValue(0, first, sizeof first, &got);
    }
  }
  for (CAttrBase* attribute : record.AttributesOf(ATTR_TYPE_FILE_NAME)) CheckName(*static_cast<CAttrFileName*>(attribute));
  return 0;
}
