// Damaging single MFT records of an image copy: read a record as the file system sees it (fix-ups
// applied), find its attributes, and patch bytes of it so that the update sequence stays valid.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "tests/support/image_file.h"

namespace ostrin::test {

// The bytes of MFT record n, with the protected word of every 512 bytes restored from the update
// sequence array. The MFT must be contiguous (see MftRecordOffset).
std::vector<uint8_t> ReadRecord(const CImageCopy& image, uint64_t record);

// Writes bytes at offsetInRecord of record n as the file system sees the record: where a byte falls on
// a protected word, its update sequence array slot is written instead, so the record still passes its
// fix-up check.
void PatchRecord(CImageCopy& image, uint64_t record, uint32_t offsetInRecord, const std::vector<uint8_t>& bytes);

// Offset within the record of the nth attribute of a type, walking the attributes of a record read
// with ReadRecord; nothing when there is no such attribute.
std::optional<uint32_t> FindAttribute(const std::vector<uint8_t>& record, uint32_t type, int nth = 0);

// Offset within the record of the value of the resident attribute at attributeOffset.
uint32_t ResidentValueOffset(const std::vector<uint8_t>& record, uint32_t attributeOffset);

// Little-endian bytes of an integer, for PatchRecord.
std::vector<uint8_t> LittleEndian(uint64_t value, size_t width);

}  // namespace ostrin::test
