// Directory index attributes.
#include "ntfs/index_entries.h"

#include <algorithm>

#include "common/byte_order.h"
#include "ntfs/layout.h"

CIndexEntry::CIndexEntry(const uint8_t* entry) : CFileName(nullptr), m_entry(entry) {}

uint64_t CIndexEntry::FileReference() const { return READ_FIELD(INDEX_ENTRY_HEADER, fileReference, m_entry); }

bool CIndexEntry::IsLast() const { return (READ_FIELD(INDEX_ENTRY_HEADER, flags, m_entry) & INDEX_ENTRY_LAST) != 0; }

CAttrIndexRoot::CAttrIndexRoot(const uint8_t* header, CFileRecord* owner)
    : CAttrResident(header, owner), m_indexRoot(m_value) {
  if (IndexedType() != ATTR_TYPE_FILE_NAME) return;
  // Offsets and the total size count from the index header at 0x10 of the value; everything the walk
  // reads must also lie inside the value.
  const uint64_t entriesEnd = std::min<uint64_t>(
      m_valueLength, uint64_t{INDEX_ENTRIES_BASE} + READ_FIELD(INDEX_ROOT_VALUE, entriesSize, m_indexRoot));
  uint64_t position = uint64_t{INDEX_ENTRIES_BASE} + READ_FIELD(INDEX_ROOT_VALUE, firstEntryOffset, m_indexRoot);
  while (position + sizeof(INDEX_ENTRY_HEADER) <= entriesEnd) {
    const uint8_t* entry = m_indexRoot + position;
    const uint16_t length = READ_FIELD(INDEX_ENTRY_HEADER, length, entry);
    // An entry shorter than its header would never advance the walk.
    if (length < sizeof(INDEX_ENTRY_HEADER) || position + length > entriesEnd) break;
    auto* indexEntry = new CIndexEntry(entry);
    const uint16_t keyLength = READ_FIELD(INDEX_ENTRY_HEADER, keyLength, entry);
    const uint8_t* key = entry + sizeof(INDEX_ENTRY_HEADER);
    if (keyLength >= offsetof(FILE_NAME_VALUE, name) && sizeof(INDEX_ENTRY_HEADER) + keyLength <= length &&
        offsetof(FILE_NAME_VALUE, name) + 2u * READ_FIELD(FILE_NAME_VALUE, nameLength, key) <= keyLength) {
      indexEntry->SetKey(key);
    }
    Append(indexEntry);
    if (indexEntry->IsLast()) break;
    position += length;
  }
}

uint32_t CAttrIndexRoot::IndexedType() const { return READ_FIELD(INDEX_ROOT_VALUE, indexedType, m_indexRoot); }

CAttrIndexAllocation::CAttrIndexAllocation(const uint8_t* header, CFileRecord* owner)
    : CAttrNonResident(header, owner) {
  const uint64_t dataSize = GetValueSize();
  if (HasValidRuns() && m_indexBlockSize != 0 && dataSize % m_indexBlockSize == 0) {
    m_blockCount = dataSize / m_indexBlockSize;
  }
}

CAttrBitmap<CAttrResident>::CAttrBitmap(const uint8_t* header, CFileRecord* owner)
    : CAttrResident(header, owner), m_bitmapSize(m_valueLength) {
  m_bitmap = std::make_unique<uint8_t[]>(m_valueLength);
  uint32_t got = 0;
  if (!ReadValue(0, m_bitmap.get(), m_valueLength, &got) || got != m_valueLength) m_bitmap.reset();
}

CAttrBitmap<CAttrNonResident>::CAttrBitmap(const uint8_t* header, CFileRecord* owner)
    : CAttrNonResident(header, owner) {
  if (HasValidRuns()) {
    m_bitmapSize = GetValueSize();
    m_clusterBuffer = std::make_unique<uint8_t[]>(m_clusterSize);
  }
}
