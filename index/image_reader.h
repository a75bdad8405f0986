// The one reader of the drive image (index/image_format.h), for the client's find walk, the whole-image
// walk of the tools and the tests, and the fuzz targets. Nothing in the image is trusted: a block is
// checked when it is opened (on a multiple of 8, its header inside the view) and each entry when the
// cursor reaches it (its fixed fields, its name of at most 255 units and the name's terminator inside
// the view). An entry count is never taken as a size: the cursor checks each entry the count promises
// as it comes to it, so the entries before a damaged one are read as they are. What the cursor hands
// out is then read without further checks, in place and without allocating.
//
// The view's start must lie on a multiple of 8 (a mapping or an allocation does): entries start on a
// multiple of 8 from it, so names are read in place as aligned UTF-16 units.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/byte_order.h"
#include "index/image_format.h"
#include "platform/types.h"

// One entry of an image, as a cursor handed it out: it lies wholly inside the view with its name and
// terminator. Valid as long as the view is mapped.
class CImageNode {
 public:
  CImageNode() = default;  // no entry; only what a cursor fills may be read

  // nameLength units and then a 0 unit; the name may hold a 0 unit of its own before that.
  const WCHAR* Name() const { return reinterpret_cast<const WCHAR*>(m_node + offsetof(IMAGE_NODE, name)); }
  uint16_t NameLength() const { return READ_FIELD(IMAGE_NODE, nameLength, m_node); }
  uint32_t Attributes() const { return READ_FIELD(IMAGE_NODE, attributes, m_node); }
  // Readers tell directories by the attribute bit alone, as the writer does.
  bool IsDirectory() const { return (Attributes() & IMAGE_ATTRIBUTE_DIRECTORY) != 0; }
  // A file's size; 0 for a directory, whose first field is the offset of its block.
  uint64_t FileSize() const { return IsDirectory() ? 0 : SizeOrBlockOffset(); }
  // A directory's block, all 64 bits (images may be larger than 4 GiB); 0 for a file. It is checked
  // when the block is opened.
  uint64_t BlockOffset() const { return IsDirectory() ? SizeOrBlockOffset() : 0; }
  // The field as stored: the writer puts 0 there for a directory.
  uint64_t AllocatedSize() const { return READ_FIELD(IMAGE_NODE, allocatedSize, m_node); }
  uint64_t LastWriteTime() const { return READ_FIELD(IMAGE_NODE, lastWriteTime, m_node); }
  uint64_t CreationTime() const { return READ_FIELD(IMAGE_NODE, creationTime, m_node); }
  uint64_t LastAccessTime() const { return READ_FIELD(IMAGE_NODE, lastAccessTime, m_node); }

 private:
  friend class CImageBlockCursor;
  explicit CImageNode(const uint8_t* node) : m_node(node) {}
  uint64_t SizeOrBlockOffset() const { return READ_FIELD(IMAGE_NODE, sizeOrBlockOffset, m_node); }

  const uint8_t* m_node = nullptr;
};

enum class EImageStep {
  Entry,    // the next entry was read
  End,      // the block has no more entries
  Corrupt,  // the next entry breaks the layout; the cursor stays before it
};

// The entries of one directory block still to be read, from the one at Position() on.
class CImageBlockCursor {
 public:
  CImageBlockCursor() = default;  // no entries

  uint64_t Position() const { return m_next; }
  uint64_t Remaining() const { return m_remaining; }
  // Why the last step was Corrupt: "entry outside the image", "name longer than 255 units", "entry runs
  // past the image" or "name without terminator".
  const char* Fault() const { return m_fault; }

  // Reads the next entry into *node and moves past it.
  EImageStep Next(CImageNode* node) {
    if (m_remaining == 0) return EImageStep::End;
    if (m_next > m_size || m_size - m_next < offsetof(IMAGE_NODE, name)) return Fail("entry outside the image");
    const uint8_t* entry = m_base + m_next;
    const uint16_t nameLength = READ_FIELD(IMAGE_NODE, nameLength, entry);
    if (nameLength > IMAGE_MAX_NAME_UNITS) return Fail("name longer than 255 units");
    const uint64_t entrySize = ImageEntrySize(nameLength);
    if (m_size - m_next < entrySize) return Fail("entry runs past the image");
    if (ReadLE<uint16_t>(entry + offsetof(IMAGE_NODE, name) + 2 * size_t{nameLength}) != 0) {
      return Fail("name without terminator");
    }
    *node = CImageNode(entry);
    m_next += entrySize;
    --m_remaining;
    return EImageStep::Entry;
  }

 private:
  friend class CImageView;
  CImageBlockCursor(const uint8_t* base, uint64_t size, uint64_t next, uint64_t remaining)
      : m_base(base), m_size(size), m_next(next), m_remaining(remaining) {}
  EImageStep Fail(const char* fault) {
    m_fault = fault;
    return EImageStep::Corrupt;
  }

  const uint8_t* m_base = nullptr;
  uint64_t m_size = 0;
  uint64_t m_next = 0;       // offset of the next entry
  uint64_t m_remaining = 0;  // entries from there to the block's end, as the header counts them
  const char* m_fault = "";
};

// The readable part of an image: its start, and the bytes from there that may be read.
class CImageView {
 public:
  CImageView(const uint8_t* base, uint64_t size) : m_base(base), m_size(size) {}

  const uint8_t* Base() const { return m_base; }
  uint64_t Size() const { return m_size; }

  // The entries of the block at offset (0: the root's); false when the offset is not a multiple of 8
  // or the block's header does not lie inside the view.
  bool OpenBlock(uint64_t offset, CImageBlockCursor* cursor) const {
    if (offset % IMAGE_ALIGNMENT != 0 || offset > m_size || m_size - offset < sizeof(IMAGE_DIR_HEADER)) return false;
    *cursor = CImageBlockCursor(m_base, m_size, offset + sizeof(IMAGE_DIR_HEADER),
                                READ_FIELD(IMAGE_DIR_HEADER, entryCount, m_base + offset));
    return true;
  }

 private:
  const uint8_t* m_base;
  uint64_t m_size;
};
