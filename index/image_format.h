// The shared drive image: the whole file tree of a drive as one position-independent block, written by
// the service into a named shared section and walked in place by clients.
//
// The image is a sequence of directory blocks; the root's block starts at offset 0. A block is an
// IMAGE_DIR_HEADER followed by one IMAGE_NODE per child (subdirectories first, then files), each node
// starting on a multiple of 8 bytes. Blocks follow each other depth first, in pre-order. All offsets are
// byte offsets from the start of the image; every field is little-endian. The image has no signature
// and no size field: its size travels in the reply to OstrinReadDir.
//
// CDirectory::WriteImage (drive_image.cpp) writes it and index/image_reader.h reads it; nothing else
// decodes these records.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/file_attributes.h"  // ATTR_HAS_HARDLINKS in the attribute word
#include "platform/types.h"

#pragma pack(push, 1)

struct IMAGE_DIR_HEADER {
/* 0x00 */ uint64_t entryCount;            // children of the directory (written in the low 32 bits)
/* 0x08 */ uint64_t parentBlockOffset;     // block of the parent; 0 in the root's block
};
static_assert(offsetof(IMAGE_DIR_HEADER, entryCount) == 0);
static_assert(offsetof(IMAGE_DIR_HEADER, parentBlockOffset) == 8);
static_assert(sizeof(IMAGE_DIR_HEADER) == 16);

struct IMAGE_NODE {
/* 0x00 */ uint64_t sizeOrBlockOffset;     // file: file size; directory: offset of its own block
/* 0x08 */ uint64_t allocatedSize;         // file: allocated size; directory: 0
/* 0x10 */ uint32_t attributes;            // IMAGE_ATTRIBUTE_DIRECTORY marks a directory
/* 0x14 */ uint64_t lastWriteTime;         // FILETIME, the service's local time at scan time
/* 0x1C */ uint64_t creationTime;
/* 0x24 */ uint64_t lastAccessTime;
/* 0x2C */ uint16_t nameLength;            // UTF-16 units, without the terminator (at most 255)
/* 0x2E */ uint16_t name[1];               // nameLength units, case kept, then a 0 unit, then 0 padding
};
static_assert(offsetof(IMAGE_NODE, sizeOrBlockOffset) == 0);
static_assert(offsetof(IMAGE_NODE, allocatedSize) == 8);
static_assert(offsetof(IMAGE_NODE, attributes) == 16);
static_assert(offsetof(IMAGE_NODE, lastWriteTime) == 20);
static_assert(offsetof(IMAGE_NODE, creationTime) == 28);
static_assert(offsetof(IMAGE_NODE, lastAccessTime) == 36);
static_assert(offsetof(IMAGE_NODE, nameLength) == 44);
static_assert(offsetof(IMAGE_NODE, name) == 46);

#pragma pack(pop)

inline constexpr uint32_t IMAGE_ATTRIBUTE_DIRECTORY = 0x10;
inline constexpr uint32_t IMAGE_MAX_NAME_UNITS = 255;
inline constexpr uint64_t IMAGE_ALIGNMENT = 8;

// Bytes one entry takes: its fixed fields, its name and terminator, padded to a multiple of 8.
constexpr uint64_t ImageEntrySize(uint64_t nameLength) {
  return (offsetof(IMAGE_NODE, name) + 2 * nameLength + 2 + IMAGE_ALIGNMENT - 1) & ~(IMAGE_ALIGNMENT - 1);
}
static_assert(ImageEntrySize(1) == 56);
static_assert(ImageEntrySize(4) == 56);
static_assert(ImageEntrySize(5) == 64);

// Start of the name of every shared section of a drive image: the prefix, then the drive letter as the
// client sent it and the generation's marks (index/drive_index.h, GenerationSectionName).
inline constexpr WCHAR IMAGE_SECTION_NAME_PREFIX[] = WTEXT("Global\\OstrinNT_Drive_");
