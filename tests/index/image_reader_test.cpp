// The image reader under its users: a written image, damaged byte by byte, as the whole-image walk and
// the client's find functions read it.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "client/OstrinAPI.h"
#include "client/client_state.h"
#include "common/byte_order.h"
#include "common/text.h"
#include "index/drive_index.h"
#include "index/image_format.h"
#include "index/image_walk.h"

namespace {

using Names = std::vector<std::string>;

// Root: directory a (holding b.txt), file c.txt. Root block at 0, a's entry at 16, c.txt's at 72, a's
// block at 136 with b.txt's entry at 152; 216 bytes.
constexpr uint64_t A_ENTRY = 16;
constexpr uint64_t C_ENTRY = 72;
constexpr uint64_t A_BLOCK = 136;
constexpr uint64_t B_ENTRY = 152;
constexpr uint64_t IMAGE_SIZE = 216;

std::vector<uint8_t> WrittenImage() {
  const WString a = WTEXT("a");
  const WString b = WTEXT("b.txt");
  const WString c = WTEXT("c.txt");
  const auto node = [](uint64_t parent, const WString& name, uint32_t attributes) {
    CNodeValues values;
    values.parentRecord = parent;
    values.name = name.c_str();
    values.nameLength = static_cast<uint16_t>(name.size());
    values.attributes = attributes;
    return values;
  };
  CDriveIndex drive;
  drive.AddDirectory(64, node(5, a, 0x10));
  drive.AddFile(node(64, b, 0x20), 5, 8);
  drive.AddFile(node(5, c, 0x20), 7, 8);
  drive.LinkTree();
  drive.AttachFiles();
  std::vector<uint8_t> image(drive.Root()->ComputeImageSize());
  drive.Root()->WriteImage(image.data(), image.data(), 0);
  drive.DeleteTree();
  return image;
}

// The names a find returns, with the drive's error after the last call.
struct SFound {
  Names names;
  int32_t error = 0;
  bool operator==(const SFound&) const = default;
};

SFound FindAll(const std::vector<uint8_t>& image, const WCHAR* path) {
  constexpr uint32_t DRIVE = 'R' - 'A';
  DriveRecord& drive = g_Drives[DRIVE];
  drive.SetView(image.data(), image.size(), image.size());
  drive.state = DriveState::Open;
  SFound found;
  WIN32_FIND_DATAW data{};
  if (OST_FIND_HANDLE find = OstFindFirstFile(DRIVE, path, &data)) {
    do {
      found.names.push_back(WideToUtf8(data.cFileName));
    } while (OstFindNextFile(find, &data) != 0);
    OstFindClose(find);
  }
  found.error = drive.lastError;
  drive.ReleaseView();
  drive.state = DriveState::Closed;
  return found;
}

TEST(ImageReaderTest, EachUserAnswersAMalformedImageItsOwnWay) {
  ASSERT_EQ(WrittenImage().size(), IMAGE_SIZE);
  const auto patch64 = [](uint64_t at, uint64_t value) {
    return [=](std::vector<uint8_t>& image) { WriteLE<uint64_t>(&image[at], value); };
  };
  const auto patch16 = [](uint64_t at, uint16_t value) {
    return [=](std::vector<uint8_t>& image) { WriteLE<uint16_t>(&image[at], value); };
  };
  const uint64_t cNameLength = C_ENTRY + offsetof(IMAGE_NODE, nameLength);
  struct Case {
    const char* what;
    std::function<void(std::vector<uint8_t>&)> damage;
    Names walked;            // paths WalkImage visits before it stops
    const char* walkError;   // its reason; empty when it reads the image to its end
    const WCHAR* path;
    SFound found;            // what the find functions return through the damage
  };
  const Case cases[] = {
      {"block header past the end", patch64(A_ENTRY, IMAGE_SIZE - 8),
       {"/a"}, "directory block outside the image at 208", WTEXT("\\a\\*"), {{}, 3010}},
      {"entry past the end", patch16(B_ENTRY + offsetof(IMAGE_NODE, nameLength), 200),
       {"/a"}, "entry runs past the image at 152", WTEXT("\\a\\*"), {{}, 3010}},
      {"name without terminator, listing", patch16(C_ENTRY + offsetof(IMAGE_NODE, name) + 10, 'x'),
       {"/a", "/a/b.txt"}, "name without terminator at 72", WTEXT("\\*"), {{"a"}, 3010}},
      // The exact name comes before the damage in the block.
      {"name without terminator, path", patch16(C_ENTRY + offsetof(IMAGE_NODE, name) + 10, 'x'),
       {"/a", "/a/b.txt"}, "name without terminator at 72", WTEXT("\\a\\*"), {{"b.txt"}, 0}},
      // The name's 256 units and terminator lie inside the image.
      {"name length over 255",
       [&](std::vector<uint8_t>& image) {
         image.resize(C_ENTRY + ImageEntrySize(256));
         WriteLE<uint16_t>(&image[cNameLength], 256);
       },
       {"/a", "/a/b.txt"}, "name longer than 255 units at 72", WTEXT("\\*"), {{"a"}, 3010}},
      {"misaligned block offset", patch64(A_ENTRY, A_BLOCK + 4),
       {"/a"}, "directory block outside the image at 140", WTEXT("\\a\\*"), {{}, 3010}},
      {"count larger than the block can hold", patch64(A_BLOCK, 1000000),
       {"/a", "/a/b.txt"}, "entry outside the image at 216", WTEXT("\\a\\*"), {{"b.txt"}, 3010}},
      // A path through the loop is as good as any other to the find functions.
      {"block visited twice", patch64(A_ENTRY, 0),
       {"/a"}, "block visited twice at 0", WTEXT("\\a\\a\\*"), {{"a", "c.txt"}, 0}},
      {"no damage", [](std::vector<uint8_t>&) {},
       {"/a", "/a/b.txt", "/c.txt"}, "", WTEXT("\\a\\*"), {{"b.txt"}, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<uint8_t> image = WrittenImage();
    c.damage(image);
    Names walked;
    std::string error;
    const bool whole = WalkImage(image.data(), image.size(), [&](const CImageEntry& entry) {
      std::string path;
      for (const WString& name : entry.path) path += "/" + WideToUtf8(name);
      walked.push_back(path);
    }, &error);
    EXPECT_EQ(walked, c.walked);
    EXPECT_EQ(whole, *c.walkError == 0);
    EXPECT_EQ(error, c.walkError);
    EXPECT_EQ(FindAll(image, c.path), c.found);
  }
}

}  // namespace
