// Directory index attributes: index root with its entries, index allocation, and bitmaps. The scan does
// not use them (the tree is built from the parents named in file names); they complete the attribute
// factory so that any record can be built with every attribute type, and look up a name in a small
// system directory ($Extend).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "ntfs/attributes.h"
#include "ntfs/slist.h"
#include "platform/types.h"

// One entry of a directory index; its file-name part looks at the entry's key, when it has one.
class CIndexEntry : public CFileName {
 public:
  explicit CIndexEntry(const uint8_t* entry);

  // Points the file-name part at the entry's key and makes its upper-case name.
  void SetKey(const uint8_t* key) {
    SetValue(key);
    TakeName();
  }

  const uint8_t* Entry() const { return m_entry; }
  uint64_t FileReference() const;
  bool IsLast() const;

 private:
  const uint8_t* m_entry;
};

class CAttrIndexRoot : public CAttrResident, public CSList<CIndexEntry> {
 public:
  CAttrIndexRoot(const uint8_t* header, CFileRecord* owner);

  uint32_t IndexedType() const;

 private:
  const uint8_t* m_indexRoot;
};

class CAttrIndexAllocation : public CAttrNonResident {
 public:
  CAttrIndexAllocation(const uint8_t* header, CFileRecord* owner);

  uint64_t BlockCount() const { return m_blockCount; }

 private:
  uint64_t m_blockCount = 0;
};

template <typename Body>
class CAttrBitmap;

// A bitmap held inside the record: copied whole at construction.
template <>
class CAttrBitmap<CAttrResident> : public CAttrResident {
 public:
  CAttrBitmap(const uint8_t* header, CFileRecord* owner);

  uint64_t BitmapSize() const { return m_bitmapSize; }
  const uint8_t* Bitmap() const { return m_bitmap.get(); }

 private:
  uint64_t m_bitmapSize = 0;
  std::unique_ptr<uint8_t[]> m_bitmap;
};

// A bitmap held in clusters: read one cluster at a time when asked.
template <>
class CAttrBitmap<CAttrNonResident> : public CAttrNonResident {
 public:
  CAttrBitmap(const uint8_t* header, CFileRecord* owner);

  uint64_t BitmapSize() const { return m_bitmapSize; }

 private:
  uint64_t m_bitmapSize = 0;
  std::unique_ptr<uint8_t[]> m_clusterBuffer;
};

// The outcome of looking a name up in a directory's index.
struct SIndexLookup {
  bool found = false;
  uint64_t fileReference = 0;  // found: the entry's file reference (record number and sequence)
  std::string problem;         // not found because the index could not be read (empty otherwise)
};

// Looks for the entry named exactly name (case counts) in the $I30 index of a built directory record:
// its index root, then every block of its index allocation that has a valid header and update
// sequence. An index of more than maxBlocks blocks is not read (problem says so). Blocks are walked
// in turn rather than by the collation order, so a look-up needs no upcase table; that suits small
// directories only.
SIndexLookup FindIndexEntry(CFileRecord& directory, const WString& name, uint64_t maxBlocks);
