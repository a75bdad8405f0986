// The MFT scan of every made volume, through the platform's volume device (an image file read with
// pread on Linux, with ReadFile on Windows): the drive image it writes holds what the volume maker put
// in, entry by entry. scan_test.cpp holds the same scans against sleuthkit (Linux).
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "common/text.h"
#include "index/drive_index.h"
#include "index/image_walk.h"
#include "ntfs/mft_scan.h"
#include "tests/support/listing_compare.h"
#include "tests/support/made_volume.h"

namespace {

std::string JoinPath(const std::vector<WString>& path) {
  std::string text;
  for (const WString& name : path) text += "/" + WideToUtf8(name);
  return text;
}

class MadeVolumeScanTest : public ::testing::TestWithParam<std::string> {};

TEST_P(MadeVolumeScanTest, ImageHoldsWhatTheMakerPutIn) {
  const ostrin::test::STestVolume volume = ostrin::test::MadeVolume(GetParam());
  CDriveIndex drive;
  drive.Volume().OpenPath(volume.image);
  bool damaged = false;
  ASSERT_TRUE(drive.ScanVolume(ScanProgress([](int32_t) { return true; }, nullptr,
                                            [&](const CScanDamage&) { damaged = true; })));
  EXPECT_FALSE(damaged);
  drive.LinkTree();
  drive.AttachFiles();
  std::vector<uint8_t> image(drive.Root()->ComputeImageSize());
  ASSERT_EQ(drive.Root()->WriteImage(image.data(), image.data(), 0), image.data() + image.size());
  drive.DeleteTree();
  ostrin::test::CListedEntries entries;
  std::string error;
  ASSERT_TRUE(WalkImage(image.data(), image.size(), [&](const CImageEntry& entry) {
    EXPECT_TRUE(entries.emplace(JoinPath(entry.path), entry).second) << "listed twice: " << JoinPath(entry.path);
  }, &error)) << error;
  ostrin::test::CompareWithMaker(entries, volume.expected);
}

INSTANTIATE_TEST_SUITE_P(MadeVolumes, MadeVolumeScanTest, ::testing::ValuesIn(ostrin::test::MadeVolumeNames()),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                           std::string name = info.param;
                           std::replace(name.begin(), name.end(), '-', '_');
                           return name;
                         });

}  // namespace
