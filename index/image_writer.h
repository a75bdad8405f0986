// Writing the drive image (index/image_format.h): one entry at a time for the tree's writer
// (CDirectory::WriteImage, drive_image.cpp), and the splice that makes an image from the one before it
// and the records that changed since, for updates from the change journal (image_splice.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <unordered_map>
#include <string>
#include <vector>

#include "common/byte_order.h"
#include "index/image_format.h"
#include "index/kept_index.h"
#include "ntfs/mft_scan.h"  // CRecordEntry

// Writes one entry at position: the fields, the name, its terminator and the padding to the next
// entry, whose position it returns. A directory's first field is written 0 (its block's offset comes
// when the block is placed); a file never carries the directory bit, a directory always does.
uint8_t* WriteImageEntry(uint8_t* position, const CNodeValues& values, bool isDirectory, uint64_t fileSize,
                         uint64_t allocatedSize);

// Gives a block (one copied whole from another image, say) its parent's block.
inline void SetBlockParent(uint8_t* block, uint64_t parentBlockOffset) {
  WriteLE<uint64_t>(block + offsetof(IMAGE_DIR_HEADER, parentBlockOffset), parentBlockOffset);
}
// Writes the header of a block at position; returns where its first entry goes.
inline uint8_t* WriteBlockHeader(uint8_t* position, uint64_t entryCount, uint64_t parentBlockOffset) {
  WriteLE<uint64_t>(position + offsetof(IMAGE_DIR_HEADER, entryCount), static_cast<uint32_t>(entryCount));
  SetBlockParent(position, parentBlockOffset);
  return position + sizeof(IMAGE_DIR_HEADER);
}

// What the entry at an index of a block is, for PlaceImageBlocks.
enum class EBlockEntry { Subdirectory, File, End };

// Places the blocks of an image depth first, pre-order: a directory's block, then the complete blocks
// of its first subdirectory, then of its second, and so on; each subdirectory's entry gets the offset
// of its block. writeBlock(node, position, parentBlockOffset) writes the block of node at position and
// returns the position after it; entryAt(node, index, &child) says what the block's entry at index is
// (setting child to a subdirectory's node), and End past the last. An explicit stack keeps any depth off
// the call stack. Returns the position after the last block.
template <typename Node, typename WriteBlock, typename EntryAt>
uint8_t* PlaceImageBlocks(const Node& root, uint8_t* imageStart, uint8_t* rootPosition, uint64_t rootParentOffset,
                          WriteBlock writeBlock, EntryAt entryAt) {
  struct Frame {
    Node node;
    uint64_t blockOffset;
    uint8_t* nextEntry;  // the entry at nextIndex
    size_t nextIndex;
  };
  uint8_t* position = writeBlock(root, rootPosition, rootParentOffset);
  std::vector<Frame> frames{{root, static_cast<uint64_t>(rootPosition - imageStart), rootPosition + sizeof(IMAGE_DIR_HEADER), 0}};
  while (!frames.empty()) {
    Frame& frame = frames.back();
    Node child{};
    const EBlockEntry kind = entryAt(frame.node, frame.nextIndex, &child);
    if (kind == EBlockEntry::End) {
      frames.pop_back();
      continue;
    }
    ++frame.nextIndex;
    uint8_t* entry = frame.nextEntry;
    frame.nextEntry += ImageEntrySize(ReadLE<uint16_t>(entry + offsetof(IMAGE_NODE, nameLength)));
    if (kind == EBlockEntry::File) continue;
    const uint64_t blockOffset = static_cast<uint64_t>(position - imageStart);
    WriteLE<uint64_t>(entry + offsetof(IMAGE_NODE, sizeOrBlockOffset), blockOffset);
    const uint64_t parentOffset = frame.blockOffset;  // frame may move when frames grows
    uint8_t* const block = position;
    position = writeBlock(child, block, parentOffset);
    frames.push_back({child, blockOffset, block + sizeof(IMAGE_DIR_HEADER), 0});
  }
  return position;
}

// An image made of the image before and the records that changed since: every record named, with
// its entries now (none: the record is gone, or lists nothing any more). The entries of the other
// records are copied as they stand, directory blocks that nothing changed in as whole blocks, and each
// directory lists its children in the order a scan gives them (subdirectories, then files, each by
// record number), so that the image is the one a full scan of the volume would write.
class CImageSplice {
 public:
  using Changes = std::map<uint64_t, std::vector<CRecordEntry>>;

  // The image before (size bytes at image, on a multiple of 8) with its kept index, and the changes;
  // all of them must outlive the splice.
  CImageSplice(const uint8_t* image, uint64_t size, const CKeptIndex& kept, const Changes& changes);

  // Lays the new image out. False, with *problem set, when the image and its kept index do not agree
  // (the caller then scans the volume instead).
  bool Plan(std::string* problem);
  uint64_t Size() const { return m_size; }
  uint64_t EntryCount() const { return m_entries; }
  // Writes the image laid out into start (Size() bytes), and the index of its entries into *kept.
  void Write(uint8_t* start, CKeptIndex* kept) const;

 private:
  // One child of a directory whose block the splice writes anew.
  struct CChild {
    uint64_t record;
    bool isDirectory;
    uint64_t oldOffset;         // the entry in the image before, or NEW
    const CRecordEntry* fresh;  // the entry of a changed record, or null
  };
  // A directory of the new image: a block of the image before (copied whole unless it changed), or
  // a directory that the image before did not hold.
  struct CContent {
    int64_t oldBlock = -1;
    bool rewritten = false;        // its block is written from children
    std::vector<CChild> children;  // when rewritten
    size_t firstSubdirectory = 0;  // in m_subdirectories, in the order of its entries
    size_t subdirectories = 0;
    bool visited = false;
  };
  static constexpr uint64_t NEW = ~uint64_t{0};

  bool ReadBlocks(std::string* problem);
  int64_t BlockAt(uint64_t offset) const;
  uint64_t OldEntrySize(uint64_t offset) const;
  // The content that holds the children of directory record, or -1 when the new image has none.
  int64_t ContentOfDirectory(uint64_t record) const;
  int64_t ContentOfSubdirectory(const CChild& child) const;
  int64_t NewDirectoryContent(uint64_t record);
  // Makes the content's block one written from children, beginning with the entries of its old block
  // whose records did not change.
  void Rewrite(int64_t content);
  bool IsChanged(uint64_t record) const { return m_changes.count(record) != 0; }
  // Whether a changed record is a directory now.
  bool IsDirectoryNow(uint64_t record) const;
  uint8_t* WriteContent(int64_t content, uint8_t* start, uint8_t* position, uint64_t parentBlockOffset,
                        CKeptIndex* kept) const;

  const uint8_t* m_image;
  uint64_t m_oldSize;
  const CKeptIndex& m_kept;
  const Changes& m_changes;

  // The blocks of the image before, in image order: where each starts and its first kept entry.
  std::vector<uint64_t> m_blockStart;
  std::vector<uint64_t> m_blockEnd;
  std::vector<size_t> m_blockFirstEntry;
  std::vector<uint32_t> m_blockEntries;
  std::unordered_map<uint64_t, int64_t> m_blockOfDirectory;  // directory record to its block (the root's: 0)

  std::vector<CContent> m_contents;  // the old blocks first, by block index, then new directories
  std::unordered_map<uint64_t, int64_t> m_newDirectories;  // record to content
  std::vector<int64_t> m_subdirectories;         // contents of subdirectory entries, per content
  uint64_t m_size = 0;
  uint64_t m_entries = 0;
};
