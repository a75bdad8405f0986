// The whole-image walk, on the image reader.
#include "index/image_walk.h"

#include "index/image_reader.h"

namespace {

bool Fail(std::string* error, const std::string& reason) {
  if (error != nullptr) *error = reason;
  return false;
}

// Visits every entry as the reader hands it out, with its depth below the root (0 for the root's own
// entries), in image order; WalkImage's checks.
template <typename Visit>
bool WalkNodes(const uint8_t* image, uint64_t imageSize, const Visit& visit, std::string* error) {
  const CImageView view(image, imageSize);
  // The blocks being read, the root's first: an entry's path has one name per block on the way.
  std::vector<CImageBlockCursor> blocks(1);
  if (!view.OpenBlock(0, &blocks[0])) return Fail(error, "image smaller than a block header");
  // Blocks start on a multiple of 8: one bit for every 8 bytes of the image marks the blocks read.
  std::vector<uint64_t> visited(imageSize / IMAGE_ALIGNMENT / 64 + 1, 0);
  visited[0] = 1;
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
    visit(blocks.size() - 1, node);
    if (node.IsDirectory()) {
      const uint64_t offset = node.BlockOffset();
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

}  // namespace

bool WalkImage(const uint8_t* image, uint64_t imageSize, const std::function<void(const CImageEntry&)>& visit,
               std::string* error) {
  CImageEntry entry;
  return WalkNodes(image, imageSize, [&](size_t depth, const CImageNode& node) {
    // A sibling's name goes into the string of the one before it: no allocation per entry.
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
  }, error);
}

bool TotalImage(const uint8_t* image, uint64_t imageSize, CImageTotals* totals, std::string* error) {
  CImageTotals sums;
  const bool walked = WalkNodes(image, imageSize, [&sums](size_t, const CImageNode& node) {
    if (node.IsDirectory()) {
      ++sums.directories;
    } else {
      ++sums.files;
      sums.size += node.FileSize();
      sums.allocated += node.AllocatedSize();
    }
  }, error);
  if (walked) *totals = sums;
  return walked;
}
