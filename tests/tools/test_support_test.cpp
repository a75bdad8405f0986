// The test support library itself: the volume cache, image copies and patches, record offsets, and
// how the sleuthkit oracle filters fls's list.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <filesystem>

#include "tests/support/image_file.h"
#include "tests/support/sleuthkit_oracle.h"
#include "tests/support/test_volume.h"

namespace ostrin::test {
namespace {

TEST(TestVolumeCacheTest, SecondUseTakesTheCachedImage) {
  const STestVolume first = MakeTestVolume("empty");
  const auto madeAt = std::filesystem::last_write_time(first.image);
  const STestVolume second = MakeTestVolume("empty");
  EXPECT_EQ(first.image, second.image);
  EXPECT_EQ(first.listing, second.listing);
  EXPECT_EQ(std::filesystem::last_write_time(second.image), madeAt);
}

TEST(ImageCopyTest, PatchesOnlyTheCopyAndStaysSparse) {
  const STestVolume v = MakeTestVolume("empty");
  CImageCopy copy(v.image);
  EXPECT_EQ(copy.Size(), std::filesystem::file_size(v.image));
  EXPECT_EQ(copy.Read(3, 8), (std::vector<uint8_t>{'N', 'T', 'F', 'S', ' ', ' ', ' ', ' '}));

  copy.Write(3, std::vector<uint8_t>{'B', 'R', 'O', 'K'});
  copy.WriteLE(0x0B, 2, 0x1234);
  EXPECT_EQ(copy.Read(3, 4), (std::vector<uint8_t>{'B', 'R', 'O', 'K'}));
  EXPECT_EQ(copy.ReadLE(0x0B, 2), 0x1234u);
  EXPECT_EQ(copy.Read(0x0B, 2), (std::vector<uint8_t>{0x34, 0x12}));
  EXPECT_EQ(ReadBootGeometry(v.image).bytesPerSector, 512u);  // the original is untouched
  EXPECT_THROW(ReadBootGeometry(copy.Path()), std::runtime_error);
  EXPECT_THROW(copy.Read(copy.Size() - 2, 4), std::runtime_error);

  struct stat st {};
  ASSERT_EQ(::stat(copy.Path().c_str(), &st), 0);
  EXPECT_LT(static_cast<uint64_t>(st.st_blocks) * 512, copy.Size() / 2);
  const std::string path = copy.Path();
  { CImageCopy scoped(v.image); }
  EXPECT_TRUE(std::filesystem::exists(path));
}

TEST(ImageFileTest, MftRecordOffsetPointsAtTheRecord) {
  for (const char* name : {"geometry-s512-c512", "geometry-s512-c64k", "geometry-s4096-c4k", "links-and-names"}) {
    const STestVolume v = MakeTestVolume(name);
    CImageCopy image(v.image);
    const SBootGeometry g = ReadBootGeometry(v.image);
    // System records, and the first user records (records that were never used keep number 0).
    std::vector<uint64_t> records = {0, 1, 3, 5, 15};
    for (size_t i = 0; i < v.expected.size() && i < 3; ++i) records.push_back(v.expected[i].record);
    for (uint64_t record : records) {
      const uint64_t offset = MftRecordOffset(v.image, record);
      EXPECT_EQ(offset, g.mftOffset + record * g.fileRecordSize);
      EXPECT_EQ(image.Read(offset, 4), (std::vector<uint8_t>{'F', 'I', 'L', 'E'})) << name << " record " << record;
      // NTFS 3.1 keeps the record's own number at offset 0x2C.
      EXPECT_EQ(image.ReadLE(offset + 0x2C, 4), record) << name;
    }
  }
}

TEST(SleuthkitOracleTest, UserEntriesLeaveOutSystemFilesStreamsAndOrphans) {
  auto entry = [](const char* path, uint64_t record, const char* stream = "", char type = 'r') {
    SFlsEntry e;
    e.path = path;
    e.record = record;
    e.stream = stream;
    e.nameType = e.metaType = type;
    e.size = 7;
    return e;
  };
  const std::vector<SFlsEntry> all = {
      entry("/$MFT", 0),
      entry("/$Extend", 11, "", 'd'),
      entry("/$Extend/$Quota", 24, "$Q"),
      entry("/$Extend/$ObjId", 25),
      entry("/file.txt", 64),
      entry("/file.txt", 64, "alt"),
      entry("/only-stream.dat", 65, "payload"),
      entry("/only-stream.dat", 65, "second"),
      entry("/dir", 66, "", 'd'),
      entry("/dir/$Extend", 67),  // an ordinary name below a user directory stays
      entry("/$OrphanFiles", 68, "", 'V'),
  };
  const std::vector<SFlsEntry> user = UserEntries(all);
  std::vector<std::string> paths;
  for (const SFlsEntry& e : user) paths.push_back(e.path + (e.hasUnnamedData ? "" : " (streams only)"));
  EXPECT_EQ(paths, (std::vector<std::string>{"/file.txt", "/only-stream.dat (streams only)", "/dir", "/dir/$Extend"}));
  EXPECT_EQ(user[1].size, 0u);
  EXPECT_TRUE(user[1].stream.empty());
}

TEST(SleuthkitOracleTest, ParsesFlsAndIstatOfARealImage) {
  const STestVolume v = MakeTestVolume("links-and-names");
  const std::vector<SFlsEntry> all = RunFls(v.image);
  const auto mft = std::find_if(all.begin(), all.end(), [](const SFlsEntry& e) { return e.path == "/$MFT"; });
  ASSERT_NE(mft, all.end());
  EXPECT_EQ(mft->record, 0u);
  EXPECT_EQ(mft->attributeType, 128u);
  const SExpectedEntry* shared = FindExpected(v.expected, "/a/shared.txt");
  ASSERT_NE(shared, nullptr);
  const SIstat istat = RunIstat(v.image, shared->record);
  EXPECT_EQ(istat.links, 2u);
  EXPECT_TRUE(istat.attributeList.empty());
  EXPECT_THROW(RunFls("/nonexistent.img"), std::runtime_error);
}

TEST(TestVolumeTest, FileTimeToUnixSeconds) {
  EXPECT_EQ(FileTimeToUnixSeconds(116444736000000000ull), 0);
  EXPECT_EQ(FileTimeToUnixSeconds(116444736019999999ull), 1);
  EXPECT_EQ(FileTimeToUnixSeconds(116444735990000000ull), -1);
  EXPECT_EQ(FileTimeToUnixSeconds(116444735999999999ull), -1);
  EXPECT_EQ(FileTimeToUnixSeconds(0), -11644473600);
}

}  // namespace
}  // namespace ostrin::test
