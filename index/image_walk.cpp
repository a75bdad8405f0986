// The whole-image walk, on the image reader.
#include "index/image_walk.h"

#include "index/image_reader.h"

namespace {

bool Fail(std::string* error, const std::string& reason) {
  if (error != nullptr) *error = reason;
  return false;
}

}  // namespace

bool WalkImage(const uint8_t* image, uint64_t imageSize, const std::function<void(const CImageEntry&)>& visit,
               std::string* error) {
  const CImageView view(image, imageSize);
  // The blocks being read, the root's first: an entry's path has one name per block on the way.
  std::vector<CImageBlockCursor> blocks(1);
  if (!view.OpenBlock(0, &blocks[0])) return Fail(error, "image smaller than a block header");
  // Blocks start on a multiple of 8: one bit for every 8 bytes of the image marks the blocks read.
  std::vector<uint64_t> visited(imageSize / IMAGE_ALIGNMENT / 64 + 1, 0);
  visited[0] = 1;
  CImageEntry entry;
  CImageNode node;
  while (!blocks.empty()) {
    CImageBlockCursor& block = blocks.back();
    const uint64_t position = block.Position();
    const EImageStep step = block.Next(&node);
    if (step == EImageStep::End) {
      blocks.pop_back();
      continue;
    }
    if (step == EImageStep::Corrupt) return Fail(error, block.Fault() + (" at " + std::to_string(position)));

    // A sibling's name goes into the string of the one before it: no allocation per entry.
    const size_t depth = blocks.size() - 1;
    entry.path.resize(depth + 1);
    entry.path[depth].assign(node.Name(), node.NameLength());
    entry.attributes = node.Attributes();
    entry.isDirectory = node.IsDirectory();
    entry.fileSize = node.FileSize();
    entry.blockOffset = node.BlockOffset();
    entry.allocatedSize = node.AllocatedSize();
    entry.lastWriteTime = node.LastWriteTime();
    entry.creationTime = node.CreationTime();
    entry.lastAccessTime = node.LastAccessTime();
    visit(entry);

    if (entry.isDirectory) {
      const uint64_t offset = entry.blockOffset;
      CImageBlockCursor below;
      if (!view.OpenBlock(offset, &below)) {
        return Fail(error, "directory block outside the image at " + std::to_string(offset));
      }
      uint64_t& seen = visited[offset / IMAGE_ALIGNMENT / 64];
      const uint64_t bit = uint64_t{1} << (offset / IMAGE_ALIGNMENT % 64);
      if ((seen & bit) != 0) return Fail(error, "block visited twice at " + std::to_string(offset));
      seen |= bit;
      blocks.push_back(below);
    }
  }
  return true;
}

bool TotalImage(const uint8_t* image, uint64_t imageSize, CImageTotals* totals, std::string* error) {
  CImageTotals sums;
  const bool walked = WalkImage(image, imageSize, [&sums](const CImageEntry& entry) {
    if (entry.isDirectory) {
      ++sums.directories;
    } else {
      ++sums.files;
      sums.size += entry.fileSize;
      sums.allocated += entry.allocatedSize;
    }
  }, error);
  if (walked) *totals = sums;
  return walked;
}
