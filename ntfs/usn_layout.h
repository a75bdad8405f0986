// The change journal's on-disk structures ($Extend\$UsnJrnl): the records of its $J stream and the
// value of its $Max stream. The same layouts come back from FSCTL_READ_USN_JOURNAL. Little-endian,
// read with READ_FIELD (common/byte_order.h).
#pragma once

#include <cstddef>
#include <cstdint>

#pragma pack(push, 1)

// What every record starts with, whatever its version.
struct USN_RECORD_COMMON_HEADER {
/* 0x00 */ uint32_t recordLength;          // of the whole record, a multiple of 8
/* 0x04 */ uint16_t majorVersion;          // 2, 3 or 4
/* 0x06 */ uint16_t minorVersion;
};
static_assert(offsetof(USN_RECORD_COMMON_HEADER, majorVersion) == 0x04);
static_assert(sizeof(USN_RECORD_COMMON_HEADER) == 0x08);

// Version 2: 64-bit file references (record number in the low 48 bits, sequence in the high 16).
struct USN_RECORD_V2 {
/* 0x00 */ USN_RECORD_COMMON_HEADER header;
/* 0x08 */ uint64_t fileReference;
/* 0x10 */ uint64_t parentReference;
/* 0x18 */ int64_t  usn;                   // the record's byte offset in $J
/* 0x20 */ int64_t  timeStamp;             // UTC FILETIME
/* 0x28 */ uint32_t reason;                // USN_REASON_* bits
/* 0x2C */ uint32_t sourceInfo;
/* 0x30 */ uint32_t securityId;
/* 0x34 */ uint32_t fileAttributes;
/* 0x38 */ uint16_t fileNameLength;        // in bytes
/* 0x3A */ uint16_t fileNameOffset;        // from the start of the record
/* 0x3C */ uint16_t fileName[1];           // UTF-16, not terminated
};
static_assert(offsetof(USN_RECORD_V2, fileReference) == 0x08);
static_assert(offsetof(USN_RECORD_V2, parentReference) == 0x10);
static_assert(offsetof(USN_RECORD_V2, usn) == 0x18);
static_assert(offsetof(USN_RECORD_V2, timeStamp) == 0x20);
static_assert(offsetof(USN_RECORD_V2, reason) == 0x28);
static_assert(offsetof(USN_RECORD_V2, sourceInfo) == 0x2C);
static_assert(offsetof(USN_RECORD_V2, securityId) == 0x30);
static_assert(offsetof(USN_RECORD_V2, fileAttributes) == 0x34);
static_assert(offsetof(USN_RECORD_V2, fileNameLength) == 0x38);
static_assert(offsetof(USN_RECORD_V2, fileNameOffset) == 0x3A);
static_assert(offsetof(USN_RECORD_V2, fileName) == 0x3C);

// A 128-bit file ID (ReFS; on NTFS the 64-bit reference zero-extended), low half first.
struct USN_FILE_ID_128 {
/* 0x00 */ uint64_t low;
/* 0x08 */ uint64_t high;
};
static_assert(sizeof(USN_FILE_ID_128) == 0x10);

// Version 3: 128-bit file IDs.
struct USN_RECORD_V3 {
/* 0x00 */ USN_RECORD_COMMON_HEADER header;
/* 0x08 */ USN_FILE_ID_128 fileReference;
/* 0x18 */ USN_FILE_ID_128 parentReference;
/* 0x28 */ int64_t  usn;
/* 0x30 */ int64_t  timeStamp;
/* 0x38 */ uint32_t reason;
/* 0x3C */ uint32_t sourceInfo;
/* 0x40 */ uint32_t securityId;
/* 0x44 */ uint32_t fileAttributes;
/* 0x48 */ uint16_t fileNameLength;
/* 0x4A */ uint16_t fileNameOffset;
/* 0x4C */ uint16_t fileName[1];
};
static_assert(offsetof(USN_RECORD_V3, parentReference) == 0x18);
static_assert(offsetof(USN_RECORD_V3, usn) == 0x28);
static_assert(offsetof(USN_RECORD_V3, timeStamp) == 0x30);
static_assert(offsetof(USN_RECORD_V3, reason) == 0x38);
static_assert(offsetof(USN_RECORD_V3, sourceInfo) == 0x3C);
static_assert(offsetof(USN_RECORD_V3, securityId) == 0x40);
static_assert(offsetof(USN_RECORD_V3, fileAttributes) == 0x44);
static_assert(offsetof(USN_RECORD_V3, fileNameLength) == 0x48);
static_assert(offsetof(USN_RECORD_V3, fileNameOffset) == 0x4A);
static_assert(offsetof(USN_RECORD_V3, fileName) == 0x4C);

// One range of a file that changed (version 4).
struct USN_RECORD_EXTENT {
/* 0x00 */ int64_t offset;
/* 0x08 */ int64_t length;
};
static_assert(sizeof(USN_RECORD_EXTENT) == 0x10);

// Version 4: the ranges written (range tracking), no name, no time.
struct USN_RECORD_V4 {
/* 0x00 */ USN_RECORD_COMMON_HEADER header;
/* 0x08 */ USN_FILE_ID_128 fileReference;
/* 0x18 */ USN_FILE_ID_128 parentReference;
/* 0x28 */ int64_t  usn;
/* 0x30 */ uint32_t reason;
/* 0x34 */ uint32_t sourceInfo;
/* 0x38 */ uint32_t remainingExtents;      // further extents, in the records that follow
/* 0x3C */ uint16_t numberOfExtents;
/* 0x3E */ uint16_t extentSize;            // bytes per extent
/* 0x40 */ USN_RECORD_EXTENT extents[1];
};
static_assert(offsetof(USN_RECORD_V4, usn) == 0x28);
static_assert(offsetof(USN_RECORD_V4, reason) == 0x30);
static_assert(offsetof(USN_RECORD_V4, sourceInfo) == 0x34);
static_assert(offsetof(USN_RECORD_V4, remainingExtents) == 0x38);
static_assert(offsetof(USN_RECORD_V4, numberOfExtents) == 0x3C);
static_assert(offsetof(USN_RECORD_V4, extentSize) == 0x3E);
static_assert(offsetof(USN_RECORD_V4, extents) == 0x40);

// The value of the $Max stream: the journal's limits and identity.
struct USN_JOURNAL_MAX {
/* 0x00 */ uint64_t maximumSize;
/* 0x08 */ uint64_t allocationDelta;
/* 0x10 */ uint64_t journalId;
/* 0x18 */ int64_t  lowestValidUsn;
};
static_assert(offsetof(USN_JOURNAL_MAX, allocationDelta) == 0x08);
static_assert(offsetof(USN_JOURNAL_MAX, journalId) == 0x10);
static_assert(offsetof(USN_JOURNAL_MAX, lowestValidUsn) == 0x18);
static_assert(sizeof(USN_JOURNAL_MAX) == 0x20);

#pragma pack(pop)

// Records are 8-byte aligned and never cross a block of this size; the rest of a block is zeros.
inline constexpr uint32_t USN_BLOCK_SIZE = 4096;
inline constexpr uint32_t USN_RECORD_ALIGNMENT = 8;
// $Max is 32 bytes; later systems may append fields, never more than this.
inline constexpr uint32_t USN_MAX_VALUE_MAX_SIZE = 64;

// The journal's file lives in $Extend (record 11) as "$UsnJrnl", with the streams "$J" and "$Max".
inline constexpr uint64_t EXTEND_RECORD = 11;

// Reasons (USN_REASON_* of the Windows SDK).
inline constexpr uint32_t USN_REASON_DATA_OVERWRITE = 0x00000001;
inline constexpr uint32_t USN_REASON_DATA_EXTEND = 0x00000002;
inline constexpr uint32_t USN_REASON_DATA_TRUNCATION = 0x00000004;
inline constexpr uint32_t USN_REASON_NAMED_DATA_OVERWRITE = 0x00000010;
inline constexpr uint32_t USN_REASON_NAMED_DATA_EXTEND = 0x00000020;
inline constexpr uint32_t USN_REASON_NAMED_DATA_TRUNCATION = 0x00000040;
inline constexpr uint32_t USN_REASON_FILE_CREATE = 0x00000100;
inline constexpr uint32_t USN_REASON_FILE_DELETE = 0x00000200;
inline constexpr uint32_t USN_REASON_EA_CHANGE = 0x00000400;
inline constexpr uint32_t USN_REASON_SECURITY_CHANGE = 0x00000800;
inline constexpr uint32_t USN_REASON_RENAME_OLD_NAME = 0x00001000;
inline constexpr uint32_t USN_REASON_RENAME_NEW_NAME = 0x00002000;
inline constexpr uint32_t USN_REASON_INDEXABLE_CHANGE = 0x00004000;
inline constexpr uint32_t USN_REASON_BASIC_INFO_CHANGE = 0x00008000;
inline constexpr uint32_t USN_REASON_HARD_LINK_CHANGE = 0x00010000;
inline constexpr uint32_t USN_REASON_COMPRESSION_CHANGE = 0x00020000;
inline constexpr uint32_t USN_REASON_ENCRYPTION_CHANGE = 0x00040000;
inline constexpr uint32_t USN_REASON_OBJECT_ID_CHANGE = 0x00080000;
inline constexpr uint32_t USN_REASON_REPARSE_POINT_CHANGE = 0x00100000;
inline constexpr uint32_t USN_REASON_STREAM_CHANGE = 0x00200000;
inline constexpr uint32_t USN_REASON_TRANSACTED_CHANGE = 0x00400000;
inline constexpr uint32_t USN_REASON_INTEGRITY_CHANGE = 0x00800000;
inline constexpr uint32_t USN_REASON_CLOSE = 0x80000000;
