// The MFT scan: reads the whole master file table in large chunks and hands every accepted name of
// every in-use base record to the sink; damaged records are skipped and counted.
#include "ntfs/mft_scan.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <numeric>
#include <string>
#include <vector>

#include "common/byte_order.h"
#include "common/exceptions.h"
#include "common/file_attributes.h"
#include "common/protocol.h"
#include "common/text.h"
#include "ntfs/attributes.h"
#include "ntfs/file_record.h"
#include "ntfs/layout.h"
#include "ntfs/ntfs_errors.h"
#include "ntfs/ntfs_volume.h"

namespace {

// The MFT is read in chunks of about this size, each a whole number of clusters and of records.
constexpr uint64_t SCAN_CHUNK_SIZE = 1024 * 1024;

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

ESkipReason SkipReasonOf(EBuildFailure failure) {
  switch (failure) {
    case EBuildFailure::AttributeList:
      return ESkipReason::AttributeList;
    case EBuildFailure::AttributeListBounds:
      return ESkipReason::AttributeListBounds;
    case EBuildFailure::ExtensionRecord:
      return ESkipReason::ExtensionRecord;
    case EBuildFailure::None:
    case EBuildFailure::Attributes:
      break;
  }
  return ESkipReason::Attributes;
}

class CMftScanner {
 public:
  CMftScanner(CNTFSVolume& volume, IScanSink& sink, const ScanProgress& progress)
      : m_volume(volume), m_sink(sink), m_progress(progress), m_record(&volume) {}

  bool Run();

 private:
  // Reads the chunk at offset; a chunk with an unreadable sector is read again record by record.
  void ReadChunk(uint64_t offset, uint8_t* buffer, uint32_t length, uint64_t firstRecord);
  void ProcessSlot(uint8_t* slot, uint64_t recordNumber);
  void HandOver();
  bool IsNameHandedOver(const CAttrFileName& name) const;
  void Skip(uint64_t recordNumber, ESkipReason reason);
  bool TooManyDamaged(uint64_t inUse) const;

  CNTFSVolume& m_volume;
  IScanSink& m_sink;
  const ScanProgress& m_progress;
  CFileRecord m_record;  // reused for every record; it never owns the slot it looks at
  CScanDamage m_damage;
  uint64_t m_recordSlots = 0;
  // Slots of the current chunk that could not be read (zero-filled, skipped as unreadable).
  std::vector<bool> m_unreadable;
  // The names of the current record handed over so far.
  std::vector<const CAttrFileName*> m_namesHandedOver;
  WCHAR m_name[CFileName::MAX_NAME_UNITS + 1] = {};
};

bool CMftScanner::Run() {
  CAttrNonResident* mftData = m_volume.MftData();
  const uint32_t recordSize = m_volume.FileRecordSize();
  const uint64_t bufferSize = ChunkSize(m_volume.ClusterSize(), recordSize);
  auto buffer = std::make_unique<uint8_t[]>(bufferSize);  // zero-filled once, reused for every chunk
  const uint64_t mftSize = mftData->GetValueSize();
  m_recordSlots = mftSize / recordSize;

  uint64_t remaining = mftSize;
  uint64_t offset = 0;
  uint64_t recordNumber = 0;
  int32_t lastPercent = 0;
  while (remaining != 0) {
    // A stop is honoured at every chunk, not only when the percentage moves.
    if (m_progress.IsStopRequested()) return false;
    const auto chunk = static_cast<uint32_t>(std::min(remaining, bufferSize));
    ReadChunk(offset, buffer.get(), chunk, recordNumber);

    const auto percent = static_cast<int32_t>(static_cast<double>(offset) / static_cast<double>(mftSize) * 100.0);
    if (percent < PROGRESS_DONE && percent != lastPercent) {
      lastPercent = percent;
      if (!m_progress.ReportPercent(percent)) return false;
    }

    // Only whole records: a table whose size is not a multiple of the record size ends with a part
    // of a slot, which is not a record.
    for (uint32_t slot = 0; chunk - slot >= recordSize; slot += recordSize, ++recordNumber) {
      if (!m_unreadable.empty() && m_unreadable[slot / recordSize]) {
        Skip(recordNumber, ESkipReason::Unreadable);
        continue;
      }
      ProcessSlot(buffer.get() + slot, recordNumber);
    }
    remaining -= chunk;
    offset += chunk;
  }
  m_record.ClearAttributes();

  if (m_damage.skippedRecords != 0) {
    m_progress.ReportDamage(m_damage);
    if (TooManyDamaged(m_damage.inUseRecords)) ThrowError(ERROR_PARSE_RECORD);
  }
  return true;
}

void CMftScanner::ReadChunk(uint64_t offset, uint8_t* buffer, uint32_t length, uint64_t firstRecord) {
  CAttrNonResident* mftData = m_volume.MftData();
  m_unreadable.clear();
  uint32_t got = 0;
  if (mftData->ReadValue(offset, buffer, length, &got) && got == length) return;
  // A table that ends before its size is not a damaged record but a damaged volume.
  if (mftData->LastReadFault() != CAttrNonResident::EReadFault::DeviceError) ThrowError(ERROR_READ_DATA);

  // Each record alone: as whole clusters when records span clusters, otherwise as just its own bytes,
  // so that a bad sector costs the records it holds and no more.
  const uint32_t recordSize = m_volume.FileRecordSize();
  const bool recordsSpanClusters = recordSize >= m_volume.ClusterSize();
  m_unreadable.assign(length / recordSize, false);
  for (uint32_t slot = 0; length - slot >= recordSize; slot += recordSize) {
    const bool read = recordsSpanClusters
                          ? mftData->ReadValue(offset + slot, buffer + slot, recordSize, &got) && got == recordSize
                          : mftData->ReadWithinCluster(offset + slot, buffer + slot, recordSize);
    if (read) continue;
    if (mftData->LastReadFault() != CAttrNonResident::EReadFault::DeviceError) ThrowError(ERROR_READ_DATA);
    std::memset(buffer + slot, 0, recordSize);
    // Records 0 to 15 are never listed; what cannot be read of them costs nothing.
    m_unreadable[slot / recordSize] = firstRecord + slot / recordSize >= FIRST_USER_RECORD;
  }
}

void CMftScanner::ProcessSlot(uint8_t* slot, uint64_t recordNumber) {
  if (recordNumber < FIRST_USER_RECORD || ReadLE<uint32_t>(slot) == 0) return;
  // The in-use flag and the base reference lie in the first sector, before any protected word: a
  // free record or an extension record is passed over without being parsed, whatever else it holds
  // (an extension record's attributes come in through its base record).
  const uint16_t flags = READ_FIELD(FILE_RECORD_HEADER, flags, slot);
  if ((flags & FILE_RECORD_IN_USE) == 0 || READ_FIELD(FILE_RECORD_HEADER, baseRecord, slot) != 0) return;
  ++m_damage.inUseRecords;

  m_record.AttachBuffer(slot, recordNumber);
  if (std::memcmp(slot, FILE_RECORD_SIGNATURE, sizeof FILE_RECORD_SIGNATURE) != 0) {
    return Skip(recordNumber, ESkipReason::NotAFileRecord);
  }
  if (!m_record.ApplyFixups(slot)) return Skip(recordNumber, ESkipReason::UpdateSequence);
  m_record.SetAttributeMask(ATTRIBUTE_MASK_SCAN);
  if (!m_record.BuildAttributeLists()) return Skip(recordNumber, SkipReasonOf(m_record.BuildFailure()));
  if (m_record.AttributesOf(ATTR_TYPE_FILE_NAME).IsEmpty()) return Skip(recordNumber, ESkipReason::NoFileName);
  HandOver();
}

void CMftScanner::HandOver() {
  const uint64_t recordNumber = m_record.FileReference();
  CNodeValues values;
  uint32_t standardAttributes = 0;
  if (const auto* info = static_cast<const CAttrStdInfo*>(m_record.FirstAttribute(ATTR_TYPE_STANDARD_INFORMATION))) {
    info->GetTimes(&values.lastWriteTime, &values.creationTime, &values.lastAccessTime);
    standardAttributes = info->FileAttributes();
  }

  const CSList<CAttrBase>& names = m_record.AttributesOf(ATTR_TYPE_FILE_NAME);
  uint32_t acceptedNames = 0;
  for (const CAttrBase* attribute : names) {
    if (IsAcceptedName(*static_cast<const CAttrFileName*>(attribute))) ++acceptedNames;
  }
  values.attributes = standardAttributes | (acceptedNames >= 2 ? ATTR_HAS_HARDLINKS : 0);

  // One entry per accepted name; two names of a record in one directory are one entry only when they
  // are the same units. A directory is entered once, under its first accepted name.
  m_namesHandedOver.clear();
  for (const CAttrBase* attribute : names) {
    const auto& fileName = *static_cast<const CAttrFileName*>(attribute);
    if (!IsAcceptedName(fileName)) continue;
    if (IsNameHandedOver(fileName)) continue;
    m_namesHandedOver.push_back(&fileName);
    values.parentRecord = fileName.ParentRecord();
    values.nameLength = static_cast<uint16_t>(fileName.CopyName(m_name));
    values.name = m_name;

    if (m_record.IsDirectory()) {
      m_sink.AddDirectory(recordNumber, values);
      return;
    }
    CAttrBase* data = UnnamedData(m_record);
    if (data == nullptr) return;  // only named streams: no entry
    uint64_t allocatedSize = 0;
    const uint64_t fileSize = data->GetValueSize(&allocatedSize);
    // Compressed or sparse: the space taken is the clusters stored, not the attribute's allocation.
    const bool compressed = (standardAttributes & FILE_ATTRIBUTE_BIT_COMPRESSED) != 0;
    const bool sparse = (data->Flags() & ATTRIBUTE_FLAG_SPARSE) != 0;
    if ((compressed || sparse) && data->IsNonResident()) allocatedSize = m_record.GetCompressedAllocation();
    m_sink.AddFile(values, fileSize, allocatedSize);
  }
}

bool CMftScanner::IsNameHandedOver(const CAttrFileName& name) const {
  const uint64_t parent = name.ParentRecord();
  for (const CAttrFileName* handedOver : m_namesHandedOver) {
    if (handedOver->ParentRecord() == parent && handedOver->HasSameName(name)) return true;
  }
  return false;
}

void CMftScanner::Skip(uint64_t recordNumber, ESkipReason reason) {
  m_record.ClearAttributes();
  if (reason == ESkipReason::Unreadable) ++m_damage.inUseRecords;  // nothing of it could be looked at
  ++m_damage.skippedRecords;
  if (m_damage.first.size() < CScanDamage::LISTED_RECORDS) m_damage.first.push_back({recordNumber, reason});
  // Once the damage is beyond the share allowed of every slot of the table, no count of in-use
  // records can bring it back: the scan ends now rather than reading the rest of the noise.
  if (TooManyDamaged(m_recordSlots)) {
    m_progress.ReportDamage(m_damage);
    ThrowError(ERROR_PARSE_RECORD);
  }
}

bool CMftScanner::TooManyDamaged(uint64_t inUse) const {
  return m_damage.skippedRecords > DAMAGED_RECORDS_ALLOWED &&
         m_damage.skippedRecords * 100 > inUse * DAMAGED_PERCENT_ALLOWED;
}

}  // namespace

const WCHAR* SkipReasonText(ESkipReason reason) {
  switch (reason) {
    case ESkipReason::Unreadable:
      return WTEXT("unreadable");
    case ESkipReason::NotAFileRecord:
      return WTEXT("not a file record");
    case ESkipReason::UpdateSequence:
      return WTEXT("update sequence mismatch");
    case ESkipReason::Attributes:
      return WTEXT("attributes cannot be parsed");
    case ESkipReason::AttributeList:
      return WTEXT("attribute list cannot be read");
    case ESkipReason::AttributeListBounds:
      return WTEXT("attribute list too large");
    case ESkipReason::ExtensionRecord:
      return WTEXT("extension record damaged");
    case ESkipReason::NoFileName:
      return WTEXT("no file name attribute");
  }
  return WTEXT("damaged");
}

WString CScanDamage::Describe() const {
  WString text = AsciiToWide(std::to_string(skippedRecords)) +
                 WTEXT(" damaged file record") + (skippedRecords == 1 ? WTEXT("") : WTEXT("s")) + WTEXT(" skipped: ");
  for (size_t i = 0; i < first.size(); ++i) {
    if (i != 0) text += WTEXT(", ");
    text += AsciiToWide(std::to_string(first[i].record)) + WTEXT(" (") + SkipReasonText(first[i].reason) + WTEXT(")");
  }
  if (skippedRecords > first.size()) text += WTEXT(", ...");
  return text;
}

bool ScanMftRecords(CNTFSVolume& volume, IScanSink& sink, const ScanProgress& progress) {
  CMftScanner scanner(volume, sink, progress);
  return scanner.Run();
}
