// CFileRecord: loading, fix-ups, the attribute walk and attribute lists.
#include "ntfs/file_record.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <unordered_map>
#include <utility>
#include <vector>

#include "common/byte_order.h"
#include "ntfs/index_entries.h"
#include "ntfs/ntfs_volume.h"
#include "platform/volume_device.h"

namespace {

// Index of the list that holds attributes of a type (types 0x10, 0x20, ... map to 0, 1, ...).
constexpr uint32_t ListIndex(uint32_t type) { return type / 0x10 - 1; }

// Smallest attribute-list entry: the fixed fields, padded to 8 bytes.
constexpr uint32_t MIN_ATTRIBUTE_LIST_ENTRY = sizeof(ATTRIBUTE_LIST_ENTRY);

bool HasFileSignature(const uint8_t* record) {
  return std::memcmp(record, FILE_RECORD_SIGNATURE, sizeof FILE_RECORD_SIGNATURE) == 0;
}

// Whether the value of a resident attribute is long enough for the class that reads it.
bool ValueIsLongEnough(const uint8_t* header, uint32_t minimum) {
  return READ_FIELD(RESIDENT_ATTRIBUTE_HEADER, valueLength, header) >= minimum;
}

bool FileNameValueFits(const uint8_t* header) {
  if (!ValueIsLongEnough(header, CAttrFileName::MIN_VALUE_LENGTH)) return false;
  const uint8_t* value = header + READ_FIELD(RESIDENT_ATTRIBUTE_HEADER, valueOffset, header);
  const uint32_t nameBytes = 2u * READ_FIELD(FILE_NAME_VALUE, nameLength, value);
  return READ_FIELD(RESIDENT_ATTRIBUTE_HEADER, valueLength, header) >= CAttrFileName::MIN_VALUE_LENGTH + nameBytes;
}

}  // namespace

CFileRecord::CFileRecord(CNTFSVolume* volume) : m_volume(volume) {}

CFileRecord::~CFileRecord() {
  ClearAttributes();
  ReleaseBuffer();
}

void CFileRecord::ReleaseBuffer() {
  if (m_ownsBuffer) delete[] m_buffer;
  m_buffer = nullptr;
  m_ownsBuffer = true;
}

void CFileRecord::ClearAttributes() {
  // Only the lists that were filled: a record uses three or four of the sixteen.
  for (uint32_t lists = m_filledLists; lists != 0; lists &= lists - 1) {
    m_attributeLists[std::countr_zero(lists)].Clear();
  }
  m_filledLists = 0;
}

void CFileRecord::AttachBuffer(uint8_t* record, uint64_t recordNumber) {
  ClearAttributes();
  ReleaseBuffer();
  m_buffer = record;
  m_ownsBuffer = false;
  m_fileReference = recordNumber;
}

bool CFileRecord::LoadRecord(uint64_t recordNumber) {
  ClearAttributes();
  ReleaseBuffer();
  m_fileReference = NO_RECORD;

  const uint32_t recordSize = m_volume->FileRecordSize();
  if (recordNumber > std::numeric_limits<uint64_t>::max() / recordSize) return false;
  const uint64_t offset = recordNumber * recordSize;
  auto bytes = std::make_unique<uint8_t[]>(recordSize);
  const CAttrNonResident* mftData = m_volume->MftData();
  if (recordNumber >= FIRST_USER_RECORD && mftData != nullptr) {
    // Through the MFT's data without touching it: the scan loads extension records on several threads.
    CAttrNonResident::EReadFault fault = CAttrNonResident::EReadFault::None;
    if (!mftData->ReadStored(offset, bytes.get(), recordSize, &fault)) return false;
  } else {
    // The first sixteen records are read as if they lay together at the MFT's first cluster; that is
    // how record 0 is found before anything of the MFT is known.
    const uint64_t mftOffset = m_volume->MftOffset();
    if (offset > std::numeric_limits<uint64_t>::max() - mftOffset) return false;
    size_t got = 0;
    if (!m_volume->Device().ReadAt(mftOffset + offset, bytes.get(), recordSize, &got) || got != recordSize) {
      return false;
    }
  }
  m_fileReference = recordNumber;
  if (!HasFileSignature(bytes.get()) || !ApplyFixups(bytes.get())) return false;
  m_buffer = bytes.release();
  m_ownsBuffer = true;
  return true;
}

bool CFileRecord::ApplyFixups(uint8_t* record) const { return ApplyUpdateSequence(record, m_volume->FileRecordSize()); }

bool UpdateSequenceBounds(const uint8_t* record, uint32_t recordSize, uint32_t* usaOffset, uint16_t* count) {
  *count = READ_FIELD(FILE_RECORD_HEADER, usaCount, record);
  *usaOffset = READ_FIELD(FILE_RECORD_HEADER, usaOffset, record);
  if (*count == 0) return false;
  // The array and every protected word it names must lie inside the record.
  return *count - 1u <= recordSize / UPDATE_SEQUENCE_STRIDE &&
         *usaOffset >= offsetof(FILE_RECORD_HEADER, logSequenceNumber) && *usaOffset + 2u * *count <= recordSize;
}

void WriteUpdateSequence(uint8_t* record, uint32_t recordSize, uint16_t sequenceNumber) {
  uint32_t usaOffset = 0;
  uint16_t count = 0;
  if (!UpdateSequenceBounds(record, recordSize, &usaOffset, &count)) return;
  WriteLE<uint16_t>(record + usaOffset, sequenceNumber);
  for (uint32_t i = 1; i < count; ++i) {
    uint8_t* protectedWord = record + i * UPDATE_SEQUENCE_STRIDE - 2;
    std::memcpy(record + usaOffset + 2 * i, protectedWord, 2);
    WriteLE<uint16_t>(protectedWord, sequenceNumber);
  }
}

bool ApplyUpdateSequence(uint8_t* record, uint32_t recordSize) {
  uint32_t usaOffset = 0;
  uint16_t count = 0;
  if (READ_FIELD(FILE_RECORD_HEADER, usaCount, record) == 0) return true;
  if (!UpdateSequenceBounds(record, recordSize, &usaOffset, &count)) return false;
  WriteLE<uint16_t>(record + offsetof(FILE_RECORD_HEADER, usaCount), 0);
  const uint16_t sequenceNumber = ReadLE<uint16_t>(record + usaOffset);
  for (uint32_t i = 1; i < count; ++i) {
    uint8_t* protectedWord = record + i * UPDATE_SEQUENCE_STRIDE - 2;
    if (ReadLE<uint16_t>(protectedWord) != sequenceNumber) return false;
    std::memcpy(protectedWord, record + usaOffset + 2 * i, 2);
  }
  return true;
}

bool CFileRecord::BuildAttributeLists() {
  ClearAttributes();
  m_buildFailure = EBuildFailure::Attributes;
  if (m_buffer == nullptr) return false;
  const uint32_t recordSize = m_volume->FileRecordSize();
  uint32_t offset = READ_FIELD(FILE_RECORD_HEADER, firstAttributeOffset, m_buffer);
  if (offset < sizeof(FILE_RECORD_HEADER) || offset > recordSize) return false;
  m_buildFailure = EBuildFailure::None;
  while (true) {
    // The type and the length must lie inside the record; a record cut short there has no more
    // attributes.
    if (recordSize - offset < sizeof(uint32_t)) break;
    const uint8_t* header = m_buffer + offset;
    const uint32_t type = READ_FIELD(ATTRIBUTE_HEADER, type, header);
    if (type == ATTR_TYPE_END) break;
    if (recordSize - offset < 2 * sizeof(uint32_t)) break;
    const uint32_t length = READ_FIELD(ATTRIBUTE_HEADER, length, header);
    // A length too small for any attribute would never advance the walk: it ends the attributes.
    if (length < sizeof(ATTRIBUTE_HEADER)) break;
    if (length > recordSize - offset) break;
    const uint32_t index = type / 0x10 - 1;
    if ((m_attributeMask & (1u << (index % 32))) != 0) {
      // Attribute types are multiples of 0x10; any other value would be filed in the list of a
      // neighbouring type under a class that does not fit it.
      if (index >= ATTRIBUTE_LIST_COUNT || type % 0x10 != 0) {
        m_buildFailure = EBuildFailure::Attributes;
        return false;
      }
      bool unknownType = false;
      CAttrBase* attribute = CreateAttribute(header, &unknownType);
      if (attribute == nullptr) {
        m_buildFailure = EBuildFailure::Attributes;
        return false;
      }
      // An attribute list is kept even when its extension records fail: attributes moved in before
      // the failure point into the extension records it owns.
      m_attributeLists[index].Append(attribute);
      m_filledLists |= 1u << index;
      if (m_buildFailure != EBuildFailure::None) return false;
    }
    offset += length;
  }
  return true;
}

CAttrBase* CFileRecord::CreateAttribute(const uint8_t* header, bool* unknownType) {
  *unknownType = false;
  const uint32_t length = READ_FIELD(ATTRIBUTE_HEADER, length, header);
  if (!CAttrBase::IsWellFormed(header, length)) return nullptr;
  const uint32_t type = READ_FIELD(ATTRIBUTE_HEADER, type, header);
  const bool nonResident = READ_FIELD(ATTRIBUTE_HEADER, nonResident, header) != 0;
  // These types are always resident; a non-resident one is damage.
  const auto residentOnly = [&]() { return !nonResident; };
  switch (type) {
    case ATTR_TYPE_STANDARD_INFORMATION:
      if (!residentOnly() || !ValueIsLongEnough(header, CAttrStdInfo::MIN_VALUE_LENGTH)) return nullptr;
      return new CAttrStdInfo(header, this);
    case ATTR_TYPE_ATTRIBUTE_LIST: {
      // A list whose extension records fail is still returned (the walk keeps it and fails), since
      // attributes already moved in point into the records it owns.
      if (nonResident) {
        auto* list = new CAttrAttrList<CAttrNonResident>(header, this);
        LoadExtensions(*list, list->ExtensionRecords());
        return list;
      }
      auto* list = new CAttrAttrList<CAttrResident>(header, this);
      LoadExtensions(*list, list->ExtensionRecords());
      return list;
    }
    case ATTR_TYPE_FILE_NAME:
      if (!residentOnly() || !FileNameValueFits(header)) return nullptr;
      return new CAttrFileName(header, this);
    case ATTR_TYPE_VOLUME_NAME:
      if (!residentOnly()) return nullptr;
      return new CAttrVolName(header, this);
    case ATTR_TYPE_VOLUME_INFORMATION:
      if (!residentOnly() || !ValueIsLongEnough(header, CAttrVolInfo::MIN_VALUE_LENGTH)) return nullptr;
      return new CAttrVolInfo(header, this);
    case ATTR_TYPE_DATA:
      if (nonResident) return new CAttrData<CAttrNonResident>(header, this);
      return new CAttrData<CAttrResident>(header, this);
    case ATTR_TYPE_INDEX_ROOT:
      if (!residentOnly() || !ValueIsLongEnough(header, sizeof(INDEX_ROOT_VALUE))) return nullptr;
      return new CAttrIndexRoot(header, this);
    case ATTR_TYPE_INDEX_ALLOCATION:
      if (!nonResident) return nullptr;
      return new CAttrIndexAllocation(header, this);
    case ATTR_TYPE_BITMAP:
      if (nonResident) return new CAttrBitmap<CAttrNonResident>(header, this);
      return new CAttrBitmap<CAttrResident>(header, this);
    default:
      *unknownType = true;
      if (nonResident) return new CAttrNonResident(header, this);
      return new CAttrResident(header, this);
  }
}

bool CFileRecord::LoadExtensions(CAttrBase& attributeList, CSList<CFileRecord>& extensions) {
  if (m_fileReference == NO_RECORD || !m_followsAttributeLists) return true;
  const auto fail = [this](EBuildFailure why) {
    m_buildFailure = why;
    return false;
  };
  const uint64_t listSize = attributeList.GetValueSize();
  if (listSize > MAX_ATTRIBUTE_LIST_SIZE) return fail(EBuildFailure::AttributeListBounds);
  // The whole list at once: a list read entry by entry would read a cluster per entry.
  std::vector<uint8_t> list(static_cast<size_t>(listSize));
  uint32_t got = 0;
  if (!attributeList.ReadValue(0, list.data(), static_cast<uint32_t>(listSize), &got) || got != listSize) {
    return fail(EBuildFailure::AttributeList);
  }

  // Every extension record is loaded once, with every wanted type but the attribute list; its
  // attributes of one type are moved in at the first entry that names that record and type.
  struct CLoaded {
    CFileRecord* record;  // owned by extensions
    bool isOurs;          // an extension of this very record
    uint32_t movedTypes;  // mask bits of the lists already moved in
  };
  std::unordered_map<uint64_t, CLoaded> loaded;
  const uint32_t extensionMask = m_attributeMask & ~AttributeMaskBit(ATTR_TYPE_ATTRIBUTE_LIST);
  // An entry may claim to run past the end of the list: the walk ends where the list does.
  for (uint64_t offset = 0; offset <= list.size() && list.size() - offset >= MIN_ATTRIBUTE_LIST_ENTRY;) {
    const uint8_t* entry = list.data() + offset;
    const uint32_t type = READ_FIELD(ATTRIBUTE_LIST_ENTRY, type, entry);
    const uint16_t entryLength = READ_FIELD(ATTRIBUTE_LIST_ENTRY, length, entry);
    // An entry shorter than its fixed fields would never advance the walk (or overlap the next one).
    if (entryLength < MIN_ATTRIBUTE_LIST_ENTRY) break;
    const uint32_t index = type / 0x10 - 1;
    if (type < 0x10 || index >= ATTRIBUTE_LIST_COUNT) break;
    offset += entryLength;
    const uint64_t recordNumber = static_cast<uint64_t>(READ_FIELD(ATTRIBUTE_LIST_ENTRY, recordNumberLow, entry)) |
                                  static_cast<uint64_t>(READ_FIELD(ATTRIBUTE_LIST_ENTRY, recordNumberHigh, entry)) << 32;
    if (recordNumber == m_fileReference) continue;  // built by this record's own walk
    const uint32_t bit = 1u << index;
    // Every type from 0x20 to 0x2F files under the attribute list: never followed into another record.
    if ((extensionMask & bit) == 0) continue;

    auto found = loaded.find(recordNumber);
    if (found == loaded.end()) {
      if (loaded.size() == MAX_EXTENSION_RECORDS) return fail(EBuildFailure::AttributeListBounds);
      auto* extension = new CFileRecord(m_volume);
      extensions.Append(extension);
      extension->SetAttributeMask(extensionMask);
      extension->m_followsAttributeLists = false;
      if (!extension->LoadRecord(recordNumber)) return fail(EBuildFailure::ExtensionRecord);
      // Only an extension of this very record may add to it: a stale entry must not pull in the
      // attributes of another file. A base reference of 0 is a base record, not an extension of
      // record 0 (the MFT's extension records name it with its sequence number, 1).
      const uint64_t base = extension->BaseRecord();
      const bool isOurs = base != 0 && (base & RECORD_NUMBER_MASK) == m_fileReference;
      if (isOurs && !extension->BuildAttributeLists()) return fail(EBuildFailure::ExtensionRecord);
      found = loaded.emplace(recordNumber, CLoaded{extension, isOurs, 0}).first;
    }
    CLoaded& extension = found->second;
    if (!extension.isOurs || (extension.movedTypes & bit) != 0) continue;
    extension.movedTypes |= bit;
    extension.record->m_attributeLists[index].MoveAllTo(m_attributeLists[index]);
    m_filledLists |= 1u << index;
  }
  return true;
}

CSList<CAttrBase>* CFileRecord::ListOf(uint32_t type) {
  if (type < 0x10 || type >= 0x10 * (ATTRIBUTE_LIST_COUNT + 1)) return nullptr;
  return &m_attributeLists[ListIndex(type)];
}

const CSList<CAttrBase>& CFileRecord::AttributesOf(uint32_t type) const {
  static const CSList<CAttrBase> none;
  if (type < 0x10 || type >= 0x10 * (ATTRIBUTE_LIST_COUNT + 1)) return none;
  return m_attributeLists[ListIndex(type)];
}

CAttrBase* CFileRecord::FirstAttribute(uint32_t type) {
  CSList<CAttrBase>* list = ListOf(type);
  return list != nullptr ? list->First() : nullptr;
}

CAttrBase* CFileRecord::NextAttribute(uint32_t type) {
  CSList<CAttrBase>* list = ListOf(type);
  return list != nullptr ? list->Next() : nullptr;
}

uint64_t CFileRecord::GetCompressedAllocation() const {
  uint64_t total = 0;
  for (const CAttrBase* attribute : AttributesOf(ATTR_TYPE_DATA)) {
    if (attribute->NameLength() != 0) continue;
    if (const auto* nonResident = dynamic_cast<const CAttrNonResident*>(attribute)) total += nonResident->StoredBytes();
  }
  return total;
}

uint16_t CFileRecord::Flags() const { return READ_FIELD(FILE_RECORD_HEADER, flags, m_buffer); }

uint64_t CFileRecord::BaseRecord() const { return READ_FIELD(FILE_RECORD_HEADER, baseRecord, m_buffer); }

bool CFileRecord::IsInUse() const { return (Flags() & FILE_RECORD_IN_USE) != 0; }

bool CFileRecord::IsDirectory() const { return (Flags() & FILE_RECORD_DIRECTORY) != 0; }
