// The structures of the journal controls that the MinGW-w64 headers lack (the _V1 and later versions
// of the Windows SDK), declared once with their offsets. In a namespace of their own, so that headers
// that gain them later do not clash.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ostrin::platform::win32 {

// FSCTL_READ_USN_JOURNAL's input, version 1: the major versions of the records wanted.
struct READ_USN_JOURNAL_DATA_V1 {
/* 0x00 */ int64_t  StartUsn;
/* 0x08 */ uint32_t ReasonMask;
/* 0x0C */ uint32_t ReturnOnlyOnClose;
/* 0x10 */ uint64_t Timeout;
/* 0x18 */ uint64_t BytesToWaitFor;
/* 0x20 */ uint64_t UsnJournalID;
/* 0x28 */ uint16_t MinMajorVersion;
/* 0x2A */ uint16_t MaxMajorVersion;
};
static_assert(offsetof(READ_USN_JOURNAL_DATA_V1, ReasonMask) == 0x08);
static_assert(offsetof(READ_USN_JOURNAL_DATA_V1, Timeout) == 0x10);
static_assert(offsetof(READ_USN_JOURNAL_DATA_V1, UsnJournalID) == 0x20);
static_assert(offsetof(READ_USN_JOURNAL_DATA_V1, MinMajorVersion) == 0x28);
static_assert(offsetof(READ_USN_JOURNAL_DATA_V1, MaxMajorVersion) == 0x2A);
static_assert(sizeof(READ_USN_JOURNAL_DATA_V1) == 0x30);

// FSCTL_QUERY_USN_JOURNAL's output, version 2 (versions 0 and 1 are its first 0x38 and 0x3C bytes).
struct USN_JOURNAL_DATA_V2 {
/* 0x00 */ uint64_t UsnJournalID;
/* 0x08 */ int64_t  FirstUsn;
/* 0x10 */ int64_t  NextUsn;
/* 0x18 */ int64_t  LowestValidUsn;
/* 0x20 */ int64_t  MaxUsn;
/* 0x28 */ uint64_t MaximumSize;
/* 0x30 */ uint64_t AllocationDelta;
/* 0x38 */ uint16_t MinSupportedMajorVersion;  // version 1 on
/* 0x3A */ uint16_t MaxSupportedMajorVersion;
/* 0x3C */ uint32_t Flags;                     // version 2 on
/* 0x40 */ uint64_t RangeTrackChunkSize;
/* 0x48 */ int64_t  RangeTrackFileSizeThreshold;
};
static_assert(offsetof(USN_JOURNAL_DATA_V2, NextUsn) == 0x10);
static_assert(offsetof(USN_JOURNAL_DATA_V2, LowestValidUsn) == 0x18);
static_assert(offsetof(USN_JOURNAL_DATA_V2, AllocationDelta) == 0x30);
static_assert(offsetof(USN_JOURNAL_DATA_V2, MinSupportedMajorVersion) == 0x38);
static_assert(offsetof(USN_JOURNAL_DATA_V2, Flags) == 0x3C);
static_assert(sizeof(USN_JOURNAL_DATA_V2) == 0x50);
inline constexpr size_t USN_JOURNAL_DATA_V0_SIZE = 0x38;
inline constexpr size_t USN_JOURNAL_DATA_V1_SIZE = 0x40;

// FSCTL_GET_NTFS_FILE_RECORD's input and the head of its output.
struct NTFS_FILE_RECORD_INPUT {
/* 0x00 */ int64_t FileReferenceNumber;
};
struct NTFS_FILE_RECORD_OUTPUT_HEAD {
/* 0x00 */ int64_t  FileReferenceNumber;  // the record returned: the nearest in use at or below
/* 0x08 */ uint32_t FileRecordLength;
/* 0x0C */ uint8_t  FileRecordBuffer[1];
};
static_assert(offsetof(NTFS_FILE_RECORD_OUTPUT_HEAD, FileRecordLength) == 0x08);
static_assert(offsetof(NTFS_FILE_RECORD_OUTPUT_HEAD, FileRecordBuffer) == 0x0C);

}  // namespace ostrin::platform::win32
