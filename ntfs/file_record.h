// CFileRecord: one MFT file record with its fix-ups applied and its wanted attributes, extension records
// included, sorted into one list per attribute type.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "ntfs/attributes.h"
#include "ntfs/slist.h"

class CNTFSVolume;

// Attribute masks: bit n stands for the attribute type (n + 1) * 0x10.
constexpr uint32_t AttributeMaskBit(uint32_t type) { return 1u << ((type / 0x10 - 1) % 32); }
inline constexpr uint32_t ATTRIBUTE_MASK_ALL = 0xFFFFFFFF;
inline constexpr uint32_t ATTRIBUTE_MASK_VOLUME_CHECK = 0x63;  // std info, attribute list, volume name and info
inline constexpr uint32_t ATTRIBUTE_MASK_MFT_RECORD = 0x83;    // std info, attribute list, data
inline constexpr uint32_t ATTRIBUTE_MASK_SCAN = 0x87;          // std info, attribute list, file name, data
inline constexpr unsigned ATTRIBUTE_LIST_COUNT = 16;           // types 0x10 to 0x100

// Bounds of an attribute list, far above anything NTFS writes: a record that needs more is damaged.
// They keep one crafted record from costing gigabytes of extension records and hours of reading.
inline constexpr uint64_t MAX_ATTRIBUTE_LIST_SIZE = 256 * 1024;
inline constexpr size_t MAX_EXTENSION_RECORDS = 4096;

// Why building a record's attributes failed.
enum class EBuildFailure : uint8_t {
  None,
  Attributes,           // an attribute of the record is malformed
  AttributeList,        // the attribute list's value cannot be read
  AttributeListBounds,  // the attribute list is larger, or names more records, than NTFS ever writes
  ExtensionRecord,      // an extension record it names cannot be read or parsed
};

// The stride of the update sequence: the last word of every 512 bytes of a record is protected,
// whatever the sector size of the volume.
inline constexpr uint32_t UPDATE_SEQUENCE_STRIDE = 512;

// Checks the update sequence of a structure of recordSize bytes protected as file records are (index
// blocks too: the array's offset and count at 0x04 and 0x06) and restores the protected words, in
// place. A second application changes nothing.
bool ApplyUpdateSequence(uint8_t* record, uint32_t recordSize);

// Whether the update sequence array of a structure of recordSize bytes, and every protected word it
// names, lie inside it; *usaOffset and *count are the array's offset and its count of words (the
// sequence number and one word per stride). A count of 0 (a sequence already applied) is none.
bool UpdateSequenceBounds(const uint8_t* record, uint32_t recordSize, uint32_t* usaOffset, uint16_t* count);

// What NTFS does before it writes a structure: moves each protected word into the array and writes
// the sequence number in its place. For the tools and tests that write records; nothing when the
// array does not lie inside the structure.
void WriteUpdateSequence(uint8_t* record, uint32_t recordSize, uint16_t sequenceNumber);

class CFileRecord {
 public:
  explicit CFileRecord(CNTFSVolume* volume);
  virtual ~CFileRecord();
  CFileRecord(const CFileRecord&) = delete;
  CFileRecord& operator=(const CFileRecord&) = delete;

  void SetAttributeMask(uint32_t mask) { m_attributeMask = mask; }
  uint32_t AttributeMask() const { return m_attributeMask; }

  // Reads record n, checks its signature and applies its fix-ups; the record's previous attributes
  // and owned buffer are released first.
  bool LoadRecord(uint64_t recordNumber);

  // Points the record at bytes in a buffer of the caller's (never freed by the record), as record
  // number recordNumber; the previous attributes and owned buffer are released first.
  void AttachBuffer(uint8_t* record, uint64_t recordNumber);

  // Checks the update sequence of a record of the volume's record size and restores the protected
  // words, in place. A second application changes nothing.
  bool ApplyFixups(uint8_t* record) const;

  // Builds the wanted attributes of the buffer into the sixteen lists. When the record has an attribute
  // list, its wanted attributes in extension records are moved in as well; a damaged extension record
  // fails the build. BuildFailure tells why a build failed.
  bool BuildAttributeLists();
  EBuildFailure BuildFailure() const { return m_buildFailure; }

  // Makes the reader object for one attribute; *unknownType is set for types without a class of their
  // own. Null when the attribute is malformed.
  CAttrBase* CreateAttribute(const uint8_t* header, bool* unknownType);

  CAttrBase* FirstAttribute(uint32_t type);
  CAttrBase* NextAttribute(uint32_t type);
  // The list of one type (types 0x10 to 0x100), for iteration that keeps the cursors alone.
  const CSList<CAttrBase>& AttributesOf(uint32_t type) const;

  // Bytes of the stored (non-sparse) clusters of all unnamed data attributes.
  uint64_t GetCompressedAllocation() const;

  // Releases the attributes of all sixteen lists (and with an attribute list its extension records).
  void ClearAttributes();

  CNTFSVolume* Volume() const { return m_volume; }
  uint64_t FileReference() const { return m_fileReference; }
  const uint8_t* Buffer() const { return m_buffer; }
  uint16_t Flags() const;
  uint64_t BaseRecord() const;  // 0 in a base record
  bool IsInUse() const;
  bool IsDirectory() const;

  static constexpr uint64_t NO_RECORD = ~uint64_t{0};

 private:
  void ReleaseBuffer();
  CSList<CAttrBase>* ListOf(uint32_t type);
  // Loads the extension records that an attribute list names and moves their wanted attributes in;
  // false (with m_buildFailure set) when the list or an extension record is damaged.
  bool LoadExtensions(CAttrBase& attributeList, CSList<CFileRecord>& extensions);

  CNTFSVolume* m_volume;
  uint8_t* m_buffer = nullptr;
  bool m_ownsBuffer = true;
  uint64_t m_fileReference = NO_RECORD;
  uint32_t m_attributeMask = ATTRIBUTE_MASK_ALL;
  // Cleared in extension records: an attribute list lives only in a base record, and following one
  // from an extension would let records that name each other recurse without end.
  bool m_followsAttributeLists = true;
  EBuildFailure m_buildFailure = EBuildFailure::None;
  CSList<CAttrBase> m_attributeLists[ATTRIBUTE_LIST_COUNT];
  uint32_t m_filledLists = 0;  // bit n: list n may hold attributes
};
