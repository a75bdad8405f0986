// NTFS on-disk structures read by the volume reader: boot sector, file records, attributes and values.
// Every multi-byte field is little-endian; fields are read with READ_FIELD (common/byte_order.h).
#pragma once

#include <cstddef>
#include <cstdint>

#pragma pack(push, 1)

// Sector 0 of the volume.
struct NTFS_BOOT_SECTOR {
/* 0x00 */ uint8_t  jump[3];
/* 0x03 */ char     oemId[8];              // "NTFS    "
/* 0x0B */ uint16_t bytesPerSector;
/* 0x0D */ uint8_t  sectorsPerCluster;     // up to 0x80 a count; above, 2^(256 - value) sectors
/* 0x0E */ uint8_t  unused1[0x28 - 0x0E];
/* 0x28 */ uint64_t totalSectors;          // sectors of the volume (the backup boot sector after them)
/* 0x30 */ uint64_t mftCluster;            // first cluster of the master file table
/* 0x38 */ uint64_t mftMirrorCluster;
/* 0x40 */ int8_t   clustersPerFileRecord; // > 0: clusters; <= 0: 2^-value bytes
/* 0x41 */ uint8_t  unused2[3];
/* 0x44 */ int8_t   clustersPerIndexBlock; // same rule as clustersPerFileRecord
/* 0x45 */ uint8_t  unused3[3];
/* 0x48 */ uint64_t volumeSerialNumber;
};
static_assert(offsetof(NTFS_BOOT_SECTOR, oemId) == 0x03);
static_assert(offsetof(NTFS_BOOT_SECTOR, bytesPerSector) == 0x0B);
static_assert(offsetof(NTFS_BOOT_SECTOR, sectorsPerCluster) == 0x0D);
static_assert(offsetof(NTFS_BOOT_SECTOR, totalSectors) == 0x28);
static_assert(offsetof(NTFS_BOOT_SECTOR, mftCluster) == 0x30);
static_assert(offsetof(NTFS_BOOT_SECTOR, clustersPerFileRecord) == 0x40);
static_assert(offsetof(NTFS_BOOT_SECTOR, clustersPerIndexBlock) == 0x44);

inline constexpr size_t BOOT_SECTOR_SIZE = 512;
// The boot sector is taken from the first bytes of this read: a whole number of sectors for every
// sector size NTFS allows (a device of 4096-byte sectors reads whole sectors only).
inline constexpr size_t BOOT_READ_SIZE = 4096;
inline constexpr char NTFS_OEM_ID[8] = {'N', 'T', 'F', 'S', ' ', ' ', ' ', ' '};

// Header of one MFT file record; the rest of the record is its attributes.
struct FILE_RECORD_HEADER {
/* 0x00 */ char     signature[4];          // "FILE"
/* 0x04 */ uint16_t usaOffset;             // update sequence array
/* 0x06 */ uint16_t usaCount;              // in words, the sequence number included
/* 0x08 */ uint64_t logSequenceNumber;
/* 0x10 */ uint16_t sequenceNumber;
/* 0x12 */ uint16_t linkCount;
/* 0x14 */ uint16_t firstAttributeOffset;
/* 0x16 */ uint16_t flags;                 // FILE_RECORD_IN_USE, FILE_RECORD_DIRECTORY
/* 0x18 */ uint32_t bytesInUse;
/* 0x1C */ uint32_t bytesAllocated;
/* 0x20 */ uint64_t baseRecord;            // 0 in a base record
/* 0x28 */ uint16_t nextAttributeId;
};
static_assert(offsetof(FILE_RECORD_HEADER, usaOffset) == 0x04);
static_assert(offsetof(FILE_RECORD_HEADER, usaCount) == 0x06);
static_assert(offsetof(FILE_RECORD_HEADER, firstAttributeOffset) == 0x14);
static_assert(offsetof(FILE_RECORD_HEADER, flags) == 0x16);
static_assert(offsetof(FILE_RECORD_HEADER, baseRecord) == 0x20);
static_assert(sizeof(FILE_RECORD_HEADER) == 0x2A);

inline constexpr char FILE_RECORD_SIGNATURE[4] = {'F', 'I', 'L', 'E'};
inline constexpr uint16_t FILE_RECORD_IN_USE = 0x0001;
inline constexpr uint16_t FILE_RECORD_DIRECTORY = 0x0002;

// The attribute types the reader knows by name.
inline constexpr uint32_t ATTR_TYPE_STANDARD_INFORMATION = 0x10;
inline constexpr uint32_t ATTR_TYPE_ATTRIBUTE_LIST = 0x20;
inline constexpr uint32_t ATTR_TYPE_FILE_NAME = 0x30;
inline constexpr uint32_t ATTR_TYPE_OBJECT_ID = 0x40;
inline constexpr uint32_t ATTR_TYPE_SECURITY_DESCRIPTOR = 0x50;
inline constexpr uint32_t ATTR_TYPE_VOLUME_NAME = 0x60;
inline constexpr uint32_t ATTR_TYPE_VOLUME_INFORMATION = 0x70;
inline constexpr uint32_t ATTR_TYPE_DATA = 0x80;
inline constexpr uint32_t ATTR_TYPE_INDEX_ROOT = 0x90;
inline constexpr uint32_t ATTR_TYPE_INDEX_ALLOCATION = 0xA0;
inline constexpr uint32_t ATTR_TYPE_BITMAP = 0xB0;
inline constexpr uint32_t ATTR_TYPE_END = 0xFFFFFFFF;  // ends the attributes of a record

// Header common to every attribute.
struct ATTRIBUTE_HEADER {
/* 0x00 */ uint32_t type;
/* 0x04 */ uint32_t length;                // of the whole attribute, header included
/* 0x08 */ uint8_t  nonResident;           // 0 = resident
/* 0x09 */ uint8_t  nameLength;            // UTF-16 units, 0 = unnamed
/* 0x0A */ uint16_t nameOffset;
/* 0x0C */ uint16_t flags;                 // ATTRIBUTE_FLAG_COMPRESSED, ATTRIBUTE_FLAG_SPARSE
/* 0x0E */ uint16_t attributeId;
};
static_assert(offsetof(ATTRIBUTE_HEADER, length) == 0x04);
static_assert(offsetof(ATTRIBUTE_HEADER, flags) == 0x0C);
static_assert(offsetof(ATTRIBUTE_HEADER, nonResident) == 0x08);
static_assert(offsetof(ATTRIBUTE_HEADER, nameLength) == 0x09);
static_assert(sizeof(ATTRIBUTE_HEADER) == 0x10);

// Header of a resident attribute: the value lies inside the record.
struct RESIDENT_ATTRIBUTE_HEADER {
/* 0x00 */ ATTRIBUTE_HEADER common;
/* 0x10 */ uint32_t valueLength;
/* 0x14 */ uint16_t valueOffset;           // from the start of the attribute
/* 0x16 */ uint8_t  indexedFlag;
/* 0x17 */ uint8_t  padding;
};
static_assert(offsetof(RESIDENT_ATTRIBUTE_HEADER, valueLength) == 0x10);
static_assert(offsetof(RESIDENT_ATTRIBUTE_HEADER, valueOffset) == 0x14);
static_assert(sizeof(RESIDENT_ATTRIBUTE_HEADER) == 0x18);

// Header of a non-resident attribute: the value lies in clusters described by a run list.
struct NONRESIDENT_ATTRIBUTE_HEADER {
/* 0x00 */ ATTRIBUTE_HEADER common;
/* 0x10 */ uint64_t firstVcn;
/* 0x18 */ uint64_t lastVcn;
/* 0x20 */ uint16_t mappingPairsOffset;    // run list, from the start of the attribute
/* 0x22 */ uint16_t compressionUnit;
/* 0x24 */ uint32_t reserved;
/* 0x28 */ uint64_t allocatedSize;
/* 0x30 */ uint64_t dataSize;
/* 0x38 */ uint64_t initializedSize;
};
static_assert(offsetof(NONRESIDENT_ATTRIBUTE_HEADER, firstVcn) == 0x10);
static_assert(offsetof(NONRESIDENT_ATTRIBUTE_HEADER, lastVcn) == 0x18);
static_assert(offsetof(NONRESIDENT_ATTRIBUTE_HEADER, mappingPairsOffset) == 0x20);
static_assert(offsetof(NONRESIDENT_ATTRIBUTE_HEADER, allocatedSize) == 0x28);
static_assert(offsetof(NONRESIDENT_ATTRIBUTE_HEADER, dataSize) == 0x30);
static_assert(sizeof(NONRESIDENT_ATTRIBUTE_HEADER) == 0x40);

// A compressed or sparse non-resident attribute's header goes on with the bytes it really stores.
struct STORED_NONRESIDENT_ATTRIBUTE_HEADER {
/* 0x00 */ NONRESIDENT_ATTRIBUTE_HEADER common;
/* 0x40 */ uint64_t compressedSize;        // clusters that are not holes, in bytes
};
static_assert(offsetof(STORED_NONRESIDENT_ATTRIBUTE_HEADER, compressedSize) == 0x40);

inline constexpr uint16_t ATTRIBUTE_FLAG_COMPRESSED = 0x0001;
inline constexpr uint16_t ATTRIBUTE_FLAG_SPARSE = 0x8000;

// One entry of an attribute list: where an attribute of the file lives.
struct ATTRIBUTE_LIST_ENTRY {
/* 0x00 */ uint32_t type;
/* 0x04 */ uint16_t length;                // of this entry
/* 0x06 */ uint8_t  nameLength;
/* 0x07 */ uint8_t  nameOffset;
/* 0x08 */ uint64_t lowestVcn;
/* 0x10 */ uint32_t recordNumberLow;       // record holding the attribute: 48 bits ...
/* 0x14 */ uint16_t recordNumberHigh;      // ... low word first
/* 0x16 */ uint16_t sequenceNumber;
/* 0x18 */ uint16_t attributeId;
/* 0x1A */ uint8_t  name[6];               // the name starts here; entries are padded to 8 bytes
};
static_assert(offsetof(ATTRIBUTE_LIST_ENTRY, length) == 0x04);
static_assert(offsetof(ATTRIBUTE_LIST_ENTRY, recordNumberLow) == 0x10);
static_assert(offsetof(ATTRIBUTE_LIST_ENTRY, recordNumberHigh) == 0x14);
static_assert(sizeof(ATTRIBUTE_LIST_ENTRY) == 0x20);

// Value of the standard information attribute (times in UTC FILETIME units).
struct STANDARD_INFORMATION {
/* 0x00 */ uint64_t creationTime;
/* 0x08 */ uint64_t lastWriteTime;
/* 0x10 */ uint64_t mftChangeTime;
/* 0x18 */ uint64_t lastAccessTime;
/* 0x20 */ uint32_t fileAttributes;
};
static_assert(offsetof(STANDARD_INFORMATION, lastWriteTime) == 0x08);
static_assert(offsetof(STANDARD_INFORMATION, lastAccessTime) == 0x18);
static_assert(offsetof(STANDARD_INFORMATION, fileAttributes) == 0x20);
static_assert(sizeof(STANDARD_INFORMATION) == 0x24);

// Value of a file name attribute, and the key of a directory index entry.
struct FILE_NAME_VALUE {
/* 0x00 */ uint64_t parentReference;       // record number in the low 48 bits, sequence in the high 16
/* 0x08 */ uint64_t creationTime;
/* 0x10 */ uint64_t lastWriteTime;
/* 0x18 */ uint64_t mftChangeTime;
/* 0x20 */ uint64_t lastAccessTime;
/* 0x28 */ uint64_t allocatedSize;
/* 0x30 */ uint64_t dataSize;
/* 0x38 */ uint32_t fileAttributes;
/* 0x3C */ uint32_t reparseTag;
/* 0x40 */ uint8_t  nameLength;            // UTF-16 units
/* 0x41 */ uint8_t  nameSpace;             // FILE_NAME_POSIX .. FILE_NAME_WIN32_AND_DOS
/* 0x42 */ uint16_t name[1];               // nameLength units follow
};
static_assert(offsetof(FILE_NAME_VALUE, nameLength) == 0x40);
static_assert(offsetof(FILE_NAME_VALUE, nameSpace) == 0x41);
static_assert(offsetof(FILE_NAME_VALUE, name) == 0x42);

inline constexpr uint8_t FILE_NAME_POSIX = 0;
inline constexpr uint8_t FILE_NAME_WIN32 = 1;
inline constexpr uint8_t FILE_NAME_DOS = 2;
inline constexpr uint8_t FILE_NAME_WIN32_AND_DOS = 3;

// Value of the volume information attribute of record 3.
struct VOLUME_INFORMATION {
/* 0x00 */ uint64_t reserved;
/* 0x08 */ uint8_t  majorVersion;
/* 0x09 */ uint8_t  minorVersion;
/* 0x0A */ uint16_t flags;
};
static_assert(offsetof(VOLUME_INFORMATION, majorVersion) == 0x08);
static_assert(offsetof(VOLUME_INFORMATION, minorVersion) == 0x09);

// Value of an index root attribute: the header of the index, then its first entries.
struct INDEX_ROOT_VALUE {
/* 0x00 */ uint32_t indexedType;           // 0x30 for directories
/* 0x04 */ uint32_t collationRule;
/* 0x08 */ uint32_t indexBlockSize;
/* 0x0C */ uint8_t  clustersPerIndexBlock;
/* 0x0D */ uint8_t  padding[3];
/* 0x10 */ uint32_t firstEntryOffset;      // from 0x10
/* 0x14 */ uint32_t entriesSize;           // total size of the entries, from 0x10
/* 0x18 */ uint32_t allocatedEntriesSize;
/* 0x1C */ uint8_t  flags;
/* 0x1D */ uint8_t  padding2[3];
};
static_assert(offsetof(INDEX_ROOT_VALUE, firstEntryOffset) == 0x10);
static_assert(offsetof(INDEX_ROOT_VALUE, entriesSize) == 0x14);
static_assert(sizeof(INDEX_ROOT_VALUE) == 0x20);

inline constexpr uint32_t INDEX_ENTRIES_BASE = 0x10;  // entry offsets of an index root count from here

// One entry of a directory index.
struct INDEX_ENTRY_HEADER {
/* 0x00 */ uint64_t fileReference;
/* 0x08 */ uint16_t length;
/* 0x0A */ uint16_t keyLength;
/* 0x0C */ uint16_t flags;                 // INDEX_ENTRY_LAST
/* 0x0E */ uint16_t padding;
};
static_assert(offsetof(INDEX_ENTRY_HEADER, length) == 0x08);
static_assert(offsetof(INDEX_ENTRY_HEADER, keyLength) == 0x0A);
static_assert(offsetof(INDEX_ENTRY_HEADER, flags) == 0x0C);
static_assert(sizeof(INDEX_ENTRY_HEADER) == 0x10);

inline constexpr uint16_t INDEX_ENTRY_LAST = 0x0002;

// Header of one block of an index allocation; its entries follow the node header at 0x18.
struct INDEX_BLOCK_HEADER {
/* 0x00 */ char     signature[4];          // "INDX"
/* 0x04 */ uint16_t usaOffset;             // update sequence array, as in a file record
/* 0x06 */ uint16_t usaCount;
/* 0x08 */ uint64_t logSequenceNumber;
/* 0x10 */ uint64_t vcn;                   // of this block in the allocation
/* 0x18 */ uint32_t firstEntryOffset;      // from 0x18
/* 0x1C */ uint32_t entriesSize;           // from 0x18
/* 0x20 */ uint32_t allocatedEntriesSize;
/* 0x24 */ uint8_t  flags;
/* 0x25 */ uint8_t  padding[3];
};
static_assert(offsetof(INDEX_BLOCK_HEADER, usaOffset) == 0x04);
static_assert(offsetof(INDEX_BLOCK_HEADER, vcn) == 0x10);
static_assert(offsetof(INDEX_BLOCK_HEADER, firstEntryOffset) == 0x18);
static_assert(offsetof(INDEX_BLOCK_HEADER, entriesSize) == 0x1C);
static_assert(sizeof(INDEX_BLOCK_HEADER) == 0x28);

inline constexpr char INDEX_BLOCK_SIGNATURE[4] = {'I', 'N', 'D', 'X'};

#pragma pack(pop)

// File attribute bits of the standard information that the system looks at.
inline constexpr uint32_t FILE_ATTRIBUTE_BIT_DIRECTORY = 0x10;
inline constexpr uint32_t FILE_ATTRIBUTE_BIT_SPARSE = 0x200;
inline constexpr uint32_t FILE_ATTRIBUTE_BIT_COMPRESSED = 0x800;

// Record numbers: the low 48 bits of a file reference; the sequence number above them is dropped.
inline constexpr uint64_t RECORD_NUMBER_MASK = 0x0000FFFFFFFFFFFFull;
inline constexpr uint64_t ROOT_DIRECTORY_RECORD = 5;
inline constexpr uint64_t VOLUME_RECORD = 3;
inline constexpr uint64_t MFT_RECORD = 0;
inline constexpr uint64_t FIRST_USER_RECORD = 16;  // records 0 to 15 belong to the system
