// A checked walk over a whole drive image.
#include "index/image_walk.h"

#include <unordered_set>

#include "common/byte_order.h"
#include "index/image_format.h"

namespace {

bool Fail(std::string* error, const std::string& reason) {
  if (error != nullptr) *error = reason;
  return false;
}

}  // namespace

bool WalkImage(const uint8_t* image, uint64_t imageSize, const std::function<void(const CImageEntry&)>& visit,
               std::string* error) {
  struct Frame {
    uint64_t position;   // next entry to read
    uint64_t remaining;  // entries left in the block
    size_t depth;        // path length of the block's entries
  };
  if (imageSize < sizeof(IMAGE_DIR_HEADER)) return Fail(error, "image smaller than a block header");
  std::unordered_set<uint64_t> visitedBlocks{0};
  std::vector<Frame> frames{{sizeof(IMAGE_DIR_HEADER), ReadLE<uint64_t>(image), 0}};
  CImageEntry entry;
  while (!frames.empty()) {
    Frame& frame = frames.back();
    if (frame.remaining == 0) {
      frames.pop_back();
      continue;
    }
    --frame.remaining;
    const uint64_t position = frame.position;
    if (position > imageSize || imageSize - position < offsetof(IMAGE_NODE, name)) {
      return Fail(error, "entry outside the image at " + std::to_string(position));
    }
    const uint8_t* node = image + position;
    const uint16_t nameLength = READ_FIELD(IMAGE_NODE, nameLength, node);
    const uint64_t entrySize = ImageEntrySize(nameLength);
    if (imageSize - position < entrySize) return Fail(error, "entry runs past the image at " + std::to_string(position));
    const uint8_t* name = node + offsetof(IMAGE_NODE, name);
    if (ReadLE<uint16_t>(name + 2 * nameLength) != 0) return Fail(error, "name without terminator at " + std::to_string(position));
    frame.position += entrySize;

    WString text(nameLength, 0);
    for (uint16_t i = 0; i < nameLength; ++i) text[i] = static_cast<WCHAR>(ReadLE<uint16_t>(name + 2 * i));
    entry.path.resize(frame.depth);
    entry.path.push_back(std::move(text));
    entry.attributes = READ_FIELD(IMAGE_NODE, attributes, node);
    entry.isDirectory = (entry.attributes & IMAGE_ATTRIBUTE_DIRECTORY) != 0;
    const uint64_t first = READ_FIELD(IMAGE_NODE, sizeOrBlockOffset, node);
    entry.fileSize = entry.isDirectory ? 0 : first;
    entry.blockOffset = entry.isDirectory ? first : 0;
    entry.allocatedSize = READ_FIELD(IMAGE_NODE, allocatedSize, node);
    entry.lastWriteTime = READ_FIELD(IMAGE_NODE, lastWriteTime, node);
    entry.creationTime = READ_FIELD(IMAGE_NODE, creationTime, node);
    entry.lastAccessTime = READ_FIELD(IMAGE_NODE, lastAccessTime, node);
    const size_t depth = frame.depth;
    visit(entry);

    if (entry.isDirectory) {
      if (first > imageSize || imageSize - first < sizeof(IMAGE_DIR_HEADER) || first % IMAGE_ALIGNMENT != 0) {
        return Fail(error, "directory block outside the image at " + std::to_string(first));
      }
      if (!visitedBlocks.insert(first).second) return Fail(error, "block visited twice at " + std::to_string(first));
      frames.push_back({first + sizeof(IMAGE_DIR_HEADER), ReadLE<uint64_t>(image + first), depth + 1});
    }
  }
  return true;
}
