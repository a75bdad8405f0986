// The drive image: exact bytes of small images, and publishing it in a shared section.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "common/byte_order.h"
#include "common/exceptions.h"
#include "common/text.h"
#include "index/drive_index.h"
#include "index/image_format.h"
#include "index/image_walk.h"
#include "index/index_errors.h"
#include "platform/shared_section.h"

namespace {

CNodeValues Node(uint64_t parent, const WString& name, uint32_t attributes, uint64_t baseTime) {
  CNodeValues values;
  values.parentRecord = parent;
  values.name = name.c_str();
  values.nameLength = static_cast<uint16_t>(name.size());
  values.lastWriteTime = baseTime + 1;
  values.creationTime = baseTime + 2;
  values.lastAccessTime = baseTime + 3;
  values.attributes = attributes;
  return values;
}

std::vector<uint8_t> WriteToMemory(CDriveIndex& drive) {
  std::vector<uint8_t> image(drive.Root()->ComputeImageSize());
  const uint8_t* end = drive.Root()->WriteImage(image.data(), image.data(), 0);
  EXPECT_EQ(end, image.data() + image.size());
  return image;
}

// Bytes of one entry as the layout fixes them, built field by field.
std::vector<uint8_t> ExpectedEntry(uint64_t first, uint64_t allocated, uint32_t attributes, uint64_t baseTime,
                                   const std::string& name) {
  std::vector<uint8_t> entry(ImageEntrySize(name.size()), 0);
  WriteLE<uint64_t>(&entry[0], first);
  WriteLE<uint64_t>(&entry[8], allocated);
  WriteLE<uint32_t>(&entry[16], attributes);
  WriteLE<uint64_t>(&entry[20], baseTime + 1);
  WriteLE<uint64_t>(&entry[28], baseTime + 2);
  WriteLE<uint64_t>(&entry[36], baseTime + 3);
  WriteLE<uint16_t>(&entry[44], static_cast<uint16_t>(name.size()));
  for (size_t i = 0; i < name.size(); ++i) WriteLE<uint16_t>(&entry[46 + 2 * i], static_cast<uint16_t>(name[i]));
  return entry;
}

std::vector<uint8_t> ExpectedHeader(uint64_t count, uint64_t parent) {
  std::vector<uint8_t> header(16);
  WriteLE<uint64_t>(&header[0], count);
  WriteLE<uint64_t>(&header[8], parent);
  return header;
}

TEST(DriveImageTest, EmptyVolumeIsOneEmptyHeader) {
  CDriveIndex drive;
  drive.LinkTree();
  drive.AttachFiles();
  EXPECT_EQ(WriteToMemory(drive), std::vector<uint8_t>(16, 0));
}

TEST(DriveImageTest, DirectoryWithOneFileIs152BytesExactly) {
  CDriveIndex drive;
  const WString a = WTEXT("a");
  const WString b = WTEXT("b.txt");
  drive.AddDirectory(64, Node(5, a, 0x20, 1000));
  drive.AddFile(Node(64, b, 0x21, 2000), 5, 4096);
  drive.LinkTree();
  drive.AttachFiles();

  std::vector<uint8_t> expected;
  const auto append = [&](const std::vector<uint8_t>& bytes) { expected.insert(expected.end(), bytes.begin(), bytes.end()); };
  append(ExpectedHeader(1, 0));                                 // root block at 0
  append(ExpectedEntry(72, 0, 0x30, 1000, "a"));                // entry of a at 16, its block at 72
  append(ExpectedHeader(1, 0));                                 // block of a at 72, parent is the root
  append(ExpectedEntry(5, 4096, 0x21, 2000, "b.txt"));          // entry of b.txt at 88
  ASSERT_EQ(expected.size(), 152u);
  EXPECT_EQ(WriteToMemory(drive), expected);
}

TEST(DriveImageTest, BlocksAreDepthFirstAndPointBackAtTheirParents) {
  CDriveIndex drive;
  std::vector<WString> names;
  for (const char* name : {"one", "two", "three", "four", "x"}) names.push_back(Utf8ToWide(name));
  drive.AddDirectory(20, Node(5, names[0], 0, 0));
  drive.AddDirectory(21, Node(20, names[1], 0, 0));
  drive.AddDirectory(22, Node(5, names[2], 0, 0));
  drive.AddDirectory(23, Node(22, names[3], 0, 0));  // empty directory
  drive.AddFile(Node(21, names[4], 0, 0), 1, 1);
  drive.LinkTree();
  drive.AttachFiles();
  const std::vector<uint8_t> image = WriteToMemory(drive);

  std::vector<std::string> order;
  std::map<uint64_t, uint64_t> parentOfBlock;  // block offset -> offset of the block holding its entry
  std::vector<uint64_t> blockOfDepth{0};
  ASSERT_TRUE(WalkImage(image.data(), image.size(), [&](const CImageEntry& entry) {
    std::string path;
    for (const WString& name : entry.path) path += "/" + WideToUtf8(name);
    order.push_back(path);
    blockOfDepth.resize(entry.path.size());
    if (entry.isDirectory) {
      EXPECT_EQ(entry.allocatedSize, 0u) << path;
      parentOfBlock[entry.blockOffset] = blockOfDepth.back();
      blockOfDepth.push_back(entry.blockOffset);
    }
  }));
  EXPECT_EQ(order, (std::vector<std::string>{"/one", "/one/two", "/one/two/x", "/three", "/three/four"}));
  for (const auto& [block, parent] : parentOfBlock) {
    EXPECT_EQ(ReadLE<uint64_t>(&image[block + 8]), parent) << "block at " << block;
  }
}

TEST(DriveImageTest, FileEntriesNeverCarryTheDirectoryBit) {
  // A damaged record may claim the directory attribute on a file; readers must not take it for a block.
  CDriveIndex drive;
  const WString name = WTEXT("f");
  drive.AddFile(Node(5, name, 0x30, 0), 12345, 16384);
  drive.LinkTree();
  drive.AttachFiles();
  const std::vector<uint8_t> image = WriteToMemory(drive);
  EXPECT_EQ(ReadLE<uint32_t>(&image[16 + 16]), 0x20u);
  EXPECT_EQ(ReadLE<uint64_t>(&image[16]), 12345u);
}

TEST(DriveImageTest, EveryImageIsASectionOfItsOwnAndTheOneBeforeStaysPublished) {
  using ostrin::platform::CSectionView;
  const WString c = WTEXT("c");
  const auto publish = [&](CDriveIndex& drive, uint64_t size) {
    drive.AddFile(Node(5, c, 0x20, 0), size, size);
    drive.LinkTree();
    drive.AttachFiles();
    drive.PublishImage(WTEXT('q'));  // the letter keeps the case it was sent with
    drive.DeleteTree();
  };
  const auto sizeIn = [](const CSectionView& view) { return ReadLE<uint64_t>(static_cast<const uint8_t*>(view.Data()) + 16); };
  CDriveIndex drive;
  publish(drive, 111);
  const WString first = drive.SectionName();
  const uint64_t firstGeneration = drive.Generation();
  EXPECT_EQ(first.rfind(WTEXT("Global\\OstrinNT_Drive_q-"), 0), 0u);
  EXPECT_EQ(drive.ImageSize(), 16 + ImageEntrySize(1));
  EXPECT_EQ(drive.EntryCount(), 1u);
  CSectionView firstView;
  ASSERT_TRUE(firstView.Open(first));
  ASSERT_TRUE(firstView.Map());

  // A client keeps the first image mapped; the next ones are published beside it (on Windows too,
  // where a section's name lives as long as any view of it), each under a name of its own.
  publish(drive, 222);
  const WString second = drive.SectionName();
  EXPECT_NE(second, first);
  EXPECT_EQ(drive.PreviousSectionName(), first);
  EXPECT_EQ(drive.Generation(), firstGeneration + 1);
  CSectionView secondView;
  ASSERT_TRUE(secondView.Open(second));
  ASSERT_TRUE(secondView.Map());
  CSectionView stillPublished;
  EXPECT_TRUE(stillPublished.Open(first)) << "the image before the newest stays published";
  stillPublished.Close();

  publish(drive, 333);
  EXPECT_EQ(drive.PreviousSectionName(), second);
#if !defined(_WIN32)
  // On Linux the name goes at once; on Windows with the last view.
  CSectionView gone;
  EXPECT_FALSE(gone.Open(first)) << "older images are let go";
#endif
  EXPECT_EQ(sizeIn(firstView), 111u) << "a client reads the image it mapped until it lets go of it";
  EXPECT_EQ(sizeIn(secondView), 222u);
  const WString third = drive.SectionName();
  drive.Close();
  firstView.Close();
  secondView.Close();
  for (const WString& name : {first, second, third}) {
    CSectionView closed;
    EXPECT_FALSE(closed.Open(name)) << "the drive's close lets every image go";
  }
}

}  // namespace
