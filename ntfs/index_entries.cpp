// Directory index attributes.
#include "ntfs/index_entries.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "common/byte_order.h"
#include "ntfs/file_record.h"
#include "ntfs/layout.h"
#include "ntfs/ntfs_volume.h"

CIndexEntry::CIndexEntry(const uint8_t* entry) : CFileName(nullptr), m_entry(entry) {}

uint64_t CIndexEntry::FileReference() const { return READ_FIELD(INDEX_ENTRY_HEADER, fileReference, m_entry); }

bool CIndexEntry::IsLast() const { return (READ_FIELD(INDEX_ENTRY_HEADER, flags, m_entry) & INDEX_ENTRY_LAST) != 0; }

namespace {

// The entries of an index node from position up to entriesEnd of the bytes at node: every entry whose
// header lies inside, in order, up to the last one; each gets its key when the key and its name lie
// inside the entry. visit takes ownership of each entry.
template <typename Visit>
void WalkIndexNode(const uint8_t* node, uint64_t position, uint64_t entriesEnd, Visit&& visit) {
  while (position + sizeof(INDEX_ENTRY_HEADER) <= entriesEnd) {
    const uint8_t* entry = node + position;
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
    const bool last = indexEntry->IsLast();
    visit(indexEntry);
    if (last) break;
    position += length;
  }
}

// Whether the entry's key names exactly name.
bool NamesExactly(const CIndexEntry& entry, const WString& name) {
  if (!entry.HasValue() || entry.NameLengthInValue() != name.size()) return false;
  WCHAR units[CFileName::MAX_NAME_UNITS + 1];
  return entry.CopyName(units) == name.size() && WString(units, name.size()) == name;
}

}  // namespace

CAttrIndexRoot::CAttrIndexRoot(const uint8_t* header, CFileRecord* owner)
    : CAttrResident(header, owner), m_indexRoot(m_value) {
  if (IndexedType() != ATTR_TYPE_FILE_NAME) return;
  // Offsets and the total size count from the index header at 0x10 of the value; everything the walk
  // reads must also lie inside the value.
  const uint64_t entriesEnd = std::min<uint64_t>(
      m_valueLength, uint64_t{INDEX_ENTRIES_BASE} + READ_FIELD(INDEX_ROOT_VALUE, entriesSize, m_indexRoot));
  const uint64_t first = uint64_t{INDEX_ENTRIES_BASE} + READ_FIELD(INDEX_ROOT_VALUE, firstEntryOffset, m_indexRoot);
  WalkIndexNode(m_indexRoot, first, entriesEnd, [this](CIndexEntry* entry) { Append(entry); });
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

SIndexLookup FindIndexEntry(CFileRecord& directory, const WString& name, uint64_t maxBlocks) {
  SIndexLookup lookup;
  for (CAttrBase* attribute : directory.AttributesOf(ATTR_TYPE_INDEX_ROOT)) {
    auto* root = dynamic_cast<CAttrIndexRoot*>(attribute);
    if (root == nullptr || root->IndexedType() != ATTR_TYPE_FILE_NAME) continue;
    for (const CIndexEntry* entry : *root) {
      if (NamesExactly(*entry, name)) {
        lookup.found = true;
        lookup.fileReference = entry->FileReference();
        return lookup;
      }
    }
  }
  // The blocks of the index in turn: a directory that is looked up this way ($Extend) has a handful.
  const uint32_t blockSize = directory.Volume()->IndexBlockSize();
  std::vector<uint8_t> block(blockSize);
  for (CAttrBase* attribute : directory.AttributesOf(ATTR_TYPE_INDEX_ALLOCATION)) {
    auto* allocation = dynamic_cast<CAttrIndexAllocation*>(attribute);
    if (allocation == nullptr || !allocation->HasValidRuns()) continue;
    if (allocation->BlockCount() > maxBlocks) {
      lookup.problem = "the index has more than " + std::to_string(maxBlocks) + " blocks";
      return lookup;
    }
    for (uint64_t b = 0; b < allocation->BlockCount(); ++b) {
      uint32_t got = 0;
      if (!allocation->ReadValue(b * blockSize, block.data(), blockSize, &got) || got != blockSize) {
        lookup.problem = "index block " + std::to_string(b) + " cannot be read";
        return lookup;
      }
      // A block not in use may hold anything: only a block that checks is read.
      if (std::memcmp(block.data(), INDEX_BLOCK_SIGNATURE, sizeof INDEX_BLOCK_SIGNATURE) != 0 ||
          !ApplyUpdateSequence(block.data(), blockSize)) {
        continue;
      }
      const uint64_t base = offsetof(INDEX_BLOCK_HEADER, firstEntryOffset);
      const uint64_t entriesEnd =
          std::min<uint64_t>(blockSize, base + READ_FIELD(INDEX_BLOCK_HEADER, entriesSize, block.data()));
      const uint64_t first = base + READ_FIELD(INDEX_BLOCK_HEADER, firstEntryOffset, block.data());
      WalkIndexNode(block.data(), first, entriesEnd, [&](CIndexEntry* entry) {
        const std::unique_ptr<CIndexEntry> owned(entry);
        if (!lookup.found && NamesExactly(*entry, name)) {
          lookup.found = true;
          lookup.fileReference = entry->FileReference();
        }
      });
      if (lookup.found) return lookup;
    }
  }
  return lookup;
}
