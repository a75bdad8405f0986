// Writing the shared drive image from the file tree.
#include <cstring>
#include <vector>

#include "common/byte_order.h"
#include "index/file_tree.h"
#include "index/image_format.h"
#include "index/image_writer.h"

namespace {

// Size of the block of one directory: its header and one entry per child.
uint64_t BlockSize(const CDirectory& directory) {
  uint64_t size = sizeof(IMAGE_DIR_HEADER);
  for (const CFileBase* child : directory.Children()) size += ImageEntrySize(child->NameLength());
  return size;
}

// Writes the header and the entries of one directory's block at position; the first field of each
// subdirectory's entry is filled in later, when the position of its block is known.
uint8_t* WriteBlock(const CDirectory& directory, uint8_t* imageStart, uint8_t* position, uint64_t parentBlockOffset,
                    CKeptIndex* kept) {
  position = WriteBlockHeader(position, directory.Children().size(), parentBlockOffset);
  for (const CFileBase* child : directory.Children()) {
    if (kept != nullptr) kept->Add(child->Record(), child->IsDirectory(), static_cast<uint64_t>(position - imageStart));
    CNodeValues values;
    values.name = child->Name();
    values.nameLength = child->NameLength();
    values.lastWriteTime = child->LastWriteTime();
    values.creationTime = child->CreationTime();
    values.lastAccessTime = child->LastAccessTime();
    values.attributes = child->Attributes();
    position = WriteImageEntry(position, values, child->IsDirectory(), child->GetFileSize(), child->GetAllocatedSize());
  }
  return position;
}

}  // namespace

uint8_t* WriteImageEntry(uint8_t* position, const CNodeValues& values, bool isDirectory, uint64_t fileSize,
                         uint64_t allocatedSize) {
  // Readers tell directories by the attribute bit alone, so a file never carries it.
  const uint32_t attributes =
      isDirectory ? values.attributes | IMAGE_ATTRIBUTE_DIRECTORY : values.attributes & ~IMAGE_ATTRIBUTE_DIRECTORY;
  const uint16_t nameLength = values.nameLength;
  WriteLE<uint64_t>(position + offsetof(IMAGE_NODE, sizeOrBlockOffset), isDirectory ? 0 : fileSize);
  WriteLE<uint64_t>(position + offsetof(IMAGE_NODE, allocatedSize), allocatedSize);
  WriteLE<uint32_t>(position + offsetof(IMAGE_NODE, attributes), attributes);
  WriteLE<uint64_t>(position + offsetof(IMAGE_NODE, lastWriteTime), values.lastWriteTime);
  WriteLE<uint64_t>(position + offsetof(IMAGE_NODE, creationTime), values.creationTime);
  WriteLE<uint64_t>(position + offsetof(IMAGE_NODE, lastAccessTime), values.lastAccessTime);
  WriteLE<uint16_t>(position + offsetof(IMAGE_NODE, nameLength), nameLength);
  uint8_t* name = position + offsetof(IMAGE_NODE, name);
  for (uint16_t i = 0; i < nameLength; ++i) WriteLE<uint16_t>(name + 2 * i, static_cast<uint16_t>(values.name[i]));
  // The terminator and the padding up to the next entry.
  uint8_t* const next = position + ImageEntrySize(nameLength);
  std::memset(name + 2 * nameLength, 0, static_cast<size_t>(next - (name + 2 * nameLength)));
  return next;
}

uint64_t CDirectory::ComputeImageSize(uint64_t* entries) const {
  uint64_t size = 0;
  uint64_t count = 0;
  std::vector<const CDirectory*> pending{this};
  while (!pending.empty()) {
    const CDirectory* directory = pending.back();
    pending.pop_back();
    size += BlockSize(*directory);
    count += directory->Children().size();
    for (const CFileBase* child : directory->Children()) {
      if (child->IsDirectory()) pending.push_back(static_cast<const CDirectory*>(child));
    }
  }
  if (entries != nullptr) *entries = count;
  return size;
}

uint8_t* CDirectory::WriteImage(uint8_t* imageStart, uint8_t* blockPosition, uint64_t parentBlockOffset,
                                CKeptIndex* kept) const {
  return PlaceImageBlocks(
      this, imageStart, blockPosition, parentBlockOffset,
      [imageStart, kept](const CDirectory* directory, uint8_t* position, uint64_t parentOffset) {
        return WriteBlock(*directory, imageStart, position, parentOffset, kept);
      },
      [](const CDirectory* directory, size_t index, const CDirectory** child) {
        const std::vector<CFileBase*>& children = directory->Children();
        if (index == children.size()) return EBlockEntry::End;
        if (!children[index]->IsDirectory()) return EBlockEntry::File;
        *child = static_cast<const CDirectory*>(children[index]);
        return EBlockEntry::Subdirectory;
      });
}
