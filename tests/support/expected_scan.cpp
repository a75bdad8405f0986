// What a drive build of a volume gives, worked out in process.
#include "tests/support/expected_scan.h"

#include <gtest/gtest.h>

#include "index/drive_index.h"

namespace ostrin::test {

uint64_t ExpectedImageSize(const std::string& image) {
  CDriveIndex drive;
  drive.Volume().OpenPath(image);
  EXPECT_TRUE(drive.ScanVolume([](int32_t) { return true; }));
  drive.LinkTree();
  drive.AttachFiles();
  const uint64_t size = drive.Root()->ComputeImageSize();
  drive.DeleteTree();
  return size;
}

std::vector<uint32_t> ExpectedProgress(const std::string& image) {
  CDriveIndex drive;
  drive.Volume().OpenPath(image);
  std::vector<uint32_t> reported;
  EXPECT_TRUE(drive.ScanVolume([&](int32_t percent) {
    reported.push_back(static_cast<uint32_t>(percent));
    return true;
  }));
  drive.DiscardNodes();
  return reported;
}

}  // namespace ostrin::test
