// The file tree of a build: linking by parent record numbers, orphans, loops, hard links, child order,
// and that nothing is leaked or freed twice at any stage (run under AddressSanitizer).
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "common/text.h"
#include "index/drive_index.h"
#include "index/image_format.h"

namespace {

// Adds nodes the way the scan does: one call per accepted name.
class CTreeBuilder {
 public:
  explicit CTreeBuilder(CDriveIndex& drive) : m_drive(drive) {}

  void Directory(uint64_t record, uint64_t parent, const std::string& name, uint32_t attributes = 0) {
    m_drive.AddDirectory(record, Values(parent, name, attributes));
  }
  void File(uint64_t parent, const std::string& name, uint64_t size, uint32_t attributes = 0x20) {
    m_drive.AddFile(Values(parent, name, attributes), size, size + 100);
  }

 private:
  CNodeValues Values(uint64_t parent, const std::string& name, uint32_t attributes) {
    m_names.push_back(Utf8ToWide(name));
    CNodeValues values;
    values.parentRecord = parent;
    values.name = m_names.back().c_str();
    values.nameLength = static_cast<uint16_t>(m_names.back().size());
    values.lastWriteTime = 3;
    values.creationTime = 1;
    values.lastAccessTime = 2;
    values.attributes = attributes;
    return values;
  }

  CDriveIndex& m_drive;
  std::vector<WString> m_names;
};

// The tree under the root as "path:kind" lines in children order, directories marked with '/'.
void Describe(const CDirectory& directory, const std::string& prefix, std::vector<std::string>* lines) {
  for (const CFileBase* child : directory.Children()) {
    const std::string path = prefix + WideToUtf8(WString(child->Name(), child->NameLength()));
    lines->push_back(child->IsDirectory() ? path + "/" : path);
    if (child->IsDirectory()) Describe(*static_cast<const CDirectory*>(child), path + "/", lines);
  }
}

std::vector<std::string> BuildAndDescribe(CDriveIndex& drive) {
  drive.LinkTree();
  drive.AttachFiles();
  std::vector<std::string> lines;
  Describe(*drive.Root(), "", &lines);
  return lines;
}

TEST(FileTreeTest, LinksByParentRecordWithDirectoriesBeforeFiles) {
  CDriveIndex drive;
  CTreeBuilder add(drive);
  add.File(5, "top.txt", 1);
  add.Directory(20, 5, "a");
  add.File(20, "a1.txt", 2);
  add.Directory(21, 20, "sub");
  add.File(20, "a2.txt", 3);
  add.Directory(22, 5, "b");
  add.Directory(23, 22, "a");  // the same name under another parent
  add.File(23, "deep.txt", 4);
  EXPECT_EQ(BuildAndDescribe(drive), (std::vector<std::string>{"a/", "a/sub/", "a/a1.txt", "a/a2.txt", "b/", "b/a/",
                                                               "b/a/deep.txt", "top.txt"}));
}

TEST(FileTreeTest, DropsWhatDoesNotReachTheRoot) {
  CDriveIndex drive;
  CTreeBuilder add(drive);
  add.Directory(20, 5, "kept");
  add.Directory(30, 99, "orphan");     // parent missing
  add.Directory(31, 30, "below-orphan");
  add.File(31, "file-below-orphan", 1);
  add.File(98, "file-without-parent", 1);
  add.Directory(40, 41, "loop-a");     // a loop that never reaches record 5
  add.Directory(41, 40, "loop-b");
  add.Directory(42, 41, "below-loop");
  add.File(42, "file-below-loop", 1);
  add.Directory(50, 50, "own-parent");  // a loop of one
  add.File(50, "file-in-own-parent", 1);
  add.Directory(60, 11, "under-extend");  // hangs below a system record
  add.File(20, "kept.txt", 1);
  EXPECT_EQ(BuildAndDescribe(drive), (std::vector<std::string>{"kept/", "kept/kept.txt"}));
}

TEST(FileTreeTest, HardLinksAreListedInEveryParentAndDirectoriesOnce) {
  CDriveIndex drive;
  CTreeBuilder add(drive);
  add.Directory(20, 5, "x");
  add.Directory(21, 5, "y");
  add.File(20, "link", 7, 0x20 | ATTR_HAS_HARDLINKS);
  add.File(21, "link", 7, 0x20 | ATTR_HAS_HARDLINKS);
  add.Directory(22, 20, "first-name");
  add.Directory(22, 21, "second-name");  // a directory is entered once, with its first name
  EXPECT_EQ(BuildAndDescribe(drive), (std::vector<std::string>{"x/", "x/first-name/", "x/link", "y/", "y/link"}));
}

TEST(FileTreeTest, DiscardingAtEveryStageFreesEverythingOnce) {
  // Leaks and double frees are caught by the sanitizers this suite runs under.
  for (int stage = 0; stage < 3; ++stage) {
    CDriveIndex drive;
    CTreeBuilder add(drive);
    add.Directory(20, 5, "a");
    add.Directory(21, 20, "b");
    add.Directory(30, 31, "loop-a");
    add.Directory(31, 30, "loop-b");
    add.File(21, "f", 1);
    add.File(30, "g", 1);
    add.File(77, "h", 1);
    if (stage >= 1) drive.LinkTree();
    if (stage >= 2) drive.AttachFiles();
    drive.DiscardNodes();
    EXPECT_EQ(drive.Root(), nullptr);
  }
}

TEST(FileTreeTest, DeepNestingNeedsNoDeepStack) {
  // Far deeper than any call stack would take if the tree were walked recursively.
  constexpr uint64_t DEPTH = 200000;
  CDriveIndex drive;
  CTreeBuilder add(drive);
  for (uint64_t i = 0; i < DEPTH; ++i) add.Directory(100 + i, i == 0 ? 5 : 99 + i, "d");
  add.File(99 + DEPTH, "leaf", 1);
  drive.LinkTree();
  drive.AttachFiles();
  const uint64_t size = drive.Root()->ComputeImageSize();
  EXPECT_EQ(size, (DEPTH + 1) * sizeof(IMAGE_DIR_HEADER) + DEPTH * ImageEntrySize(1) + ImageEntrySize(4));
  std::vector<uint8_t> image(size);
  EXPECT_EQ(drive.Root()->WriteImage(image.data(), image.data(), 0), image.data() + size);
  drive.DeleteTree();
}

}  // namespace
