// The MFT scan: reads the whole master file table in large chunks and hands every accepted name of
// every in-use base record to the drive's file tree.
#include <algorithm>
#include <cstring>
#include <memory>
#include <numeric>
#include <vector>

#include "common/byte_order.h"
#include "common/exceptions.h"
#include "index/drive_index.h"
#include "index/image_format.h"
#include "ntfs/attributes.h"
#include "ntfs/file_record.h"
#include "ntfs/layout.h"
#include "ntfs/ntfs_errors.h"

namespace {

// The MFT is read in chunks of about this size, each a whole number of clusters and of records.
constexpr uint64_t SCAN_CHUNK_SIZE = 1024 * 1024;
constexpr int32_t PERCENT_DONE = 100;

uint64_t ChunkSize(uint32_t clusterSize, uint32_t recordSize) {
  const uint64_t unit = std::lcm<uint64_t>(clusterSize, recordSize);
  // Volumes with clusters larger than a chunk read one cluster (or record) at a time.
  return std::max<uint64_t>(unit, SCAN_CHUNK_SIZE - SCAN_CHUNK_SIZE % unit);
}

// The unnamed data stream of a record: the attribute that starts it (VCN 0, which alone carries the
// stream's sizes), or the first unnamed one when none says so.
CAttrBase* UnnamedData(const CFileRecord& record) {
  CAttrBase* first = nullptr;
  for (CAttrBase* attribute : record.AttributesOf(ATTR_TYPE_DATA)) {
    if (attribute->NameLength() != 0) continue;
    const auto* body = dynamic_cast<const CAttrNonResident*>(attribute);
    if (body == nullptr || body->FirstVcn() == 0) return attribute;
    if (first == nullptr) first = attribute;
  }
  return first;
}

bool IsAcceptedName(const CAttrFileName& name) {
  return name.HasValue() && name.NameLengthInValue() >= 1 && name.NameSpace() != FILE_NAME_DOS;
}

}  // namespace

bool CDriveIndex::ScanMft(WCHAR letter, const ScanProgress& progress) {
  m_volume.OpenLetter(letter);
  return ScanVolume(progress);
}

bool CDriveIndex::ScanVolume(const ScanProgress& progress) {
  CAttrBase* mftData = m_volume.MftData();
  const uint32_t recordSize = m_volume.FileRecordSize();
  const uint64_t bufferSize = ChunkSize(m_volume.ClusterSize(), recordSize);
  auto buffer = std::make_unique<uint8_t[]>(bufferSize);  // zero-filled once, reused for every chunk
  CFileRecord record(&m_volume);
  const uint64_t mftSize = mftData->GetValueSize();

  std::vector<uint64_t> parentsHandedOver;
  WCHAR name[CFileName::MAX_NAME_UNITS + 1];
  uint64_t remaining = mftSize;
  uint64_t offset = 0;
  uint64_t recordNumber = 0;
  int32_t lastPercent = 0;
  try {
    while (remaining != 0) {
      const auto chunk = static_cast<uint32_t>(std::min(remaining, bufferSize));
      uint32_t got = 0;
      if (!mftData->ReadValue(offset, buffer.get(), chunk, &got) || got != chunk) ThrowError(ERROR_READ_DATA);

      const auto percent = static_cast<int32_t>(static_cast<double>(offset) / static_cast<double>(mftSize) * 100.0);
      if (percent < PERCENT_DONE && percent != lastPercent) {
        lastPercent = percent;
        if (!progress(percent)) {
          DiscardNodes();
          return false;
        }
      }

      // Only whole records: a table whose size is not a multiple of the record size ends with a part
      // of a slot, which is not a record.
      for (uint32_t slot = 0; chunk - slot >= recordSize; slot += recordSize, ++recordNumber) {
        uint8_t* bytes = buffer.get() + slot;
        if (recordNumber < FIRST_USER_RECORD || ReadLE<uint32_t>(bytes) == 0) continue;

        record.AttachBuffer(bytes, recordNumber);
        if (std::memcmp(bytes, FILE_RECORD_SIGNATURE, sizeof FILE_RECORD_SIGNATURE) != 0 || !record.ApplyFixups(bytes)) {
          ThrowError(ERROR_PARSE_RECORD);
        }
        record.SetAttributeMask(ATTRIBUTE_MASK_SCAN);
        if (!record.BuildAttributeLists()) ThrowError(ERROR_PARSE_ATTRIBUTES);
        if (record.BaseRecord() != 0 || !record.IsInUse()) continue;

        CNodeValues values;
        uint32_t standardAttributes = 0;
        if (const auto* info = static_cast<const CAttrStdInfo*>(record.FirstAttribute(ATTR_TYPE_STANDARD_INFORMATION))) {
          info->GetTimes(&values.lastWriteTime, &values.creationTime, &values.lastAccessTime);
          standardAttributes = info->FileAttributes();
        }

        const CSList<CAttrBase>& names = record.AttributesOf(ATTR_TYPE_FILE_NAME);
        if (names.IsEmpty()) ThrowError(ERROR_NO_FILE_NAME);
        uint32_t acceptedNames = 0;
        for (const CAttrBase* attribute : names) {
          if (IsAcceptedName(*static_cast<const CAttrFileName*>(attribute))) ++acceptedNames;
        }
        values.attributes = standardAttributes | (acceptedNames >= 2 ? ATTR_HAS_HARDLINKS : 0);

        parentsHandedOver.clear();
        for (const CAttrBase* attribute : names) {
          const auto& fileName = *static_cast<const CAttrFileName*>(attribute);
          if (!IsAcceptedName(fileName)) continue;
          // A record gets at most one entry per parent directory: its first accepted name there.
          const uint64_t parent = fileName.ParentRecord();
          if (std::find(parentsHandedOver.begin(), parentsHandedOver.end(), parent) != parentsHandedOver.end()) continue;
          parentsHandedOver.push_back(parent);
          values.parentRecord = parent;
          values.nameLength = static_cast<uint16_t>(fileName.CopyName(name));
          values.name = name;

          if (record.IsDirectory()) {
            AddDirectory(recordNumber, values);
            continue;
          }
          CAttrBase* data = UnnamedData(record);
          if (data == nullptr) continue;  // only named streams: no entry
          uint64_t allocatedSize = 0;
          const uint64_t fileSize = data->GetValueSize(&allocatedSize);
          if ((standardAttributes & FILE_ATTRIBUTE_BIT_COMPRESSED) != 0 && data->IsNonResident()) {
            allocatedSize = record.GetCompressedAllocation();
          }
          AddFile(values, fileSize, allocatedSize);
        }
      }
      remaining -= chunk;
      offset += chunk;
    }
  } catch (...) {
    DiscardNodes();
    throw;
  }
  return true;
}
