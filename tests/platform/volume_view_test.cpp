// The view of a volume on Linux: an image file mapped as it is; a range that cannot be read fails to
// fetch instead of raising a signal; a page that fails all the same reads as zeros and is counted, and
// a bus error anywhere else still ends the process.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdint>
#include <fcntl.h>
#include <memory>
#include <string>
#include <vector>

#include "platform/volume_device.h"
#include "platform/volume_view.h"

namespace {

using ostrin::platform::CVolumeDevice;
using ostrin::platform::CVolumeView;

constexpr size_t PAGE = 4096;

std::string WriteImage(const std::string& name, const std::vector<uint8_t>& bytes) {
  const std::string path = ::testing::TempDir() + name + "_" + std::to_string(::getpid());
  FILE* file = std::fopen(path.c_str(), "wb");
  EXPECT_NE(file, nullptr);
  EXPECT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), file), bytes.size());
  std::fclose(file);
  return path;
}

uint8_t Touch(const uint8_t* at) { return *static_cast<const volatile uint8_t*>(at); }

TEST(VolumeView, AFileCutShortFailsToFetchAndItsLostPagesReadAsZerosCounted) {
  std::vector<uint8_t> bytes(3 * PAGE);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7 + 1);
  const std::string path = WriteImage("volume_view", bytes);
  CVolumeDevice device;
  ASSERT_TRUE(device.OpenPath(path));
  const std::shared_ptr<CVolumeView> view = CVolumeView::Map(device);
  ASSERT_NE(view, nullptr);
  device.Close();  // the view keeps what it mapped
  ASSERT_EQ(view->Size(), bytes.size());
  EXPECT_TRUE(view->Fetch(0, bytes.size()));
  EXPECT_EQ(std::vector<uint8_t>(view->Data(), view->Data() + view->Size()), bytes);
  errno = 0;
  EXPECT_FALSE(view->Fetch(bytes.size() - 1, 2));
  EXPECT_EQ(errno, EINVAL);

  ASSERT_EQ(::truncate(path.c_str(), PAGE), 0);
  errno = 0;
  EXPECT_FALSE(view->Fetch(PAGE, 10)) << "past the end of the file now";
  EXPECT_EQ(errno, EFAULT);
  EXPECT_EQ(view->Faults(), 0u);
  struct Read {
    size_t at;
    uint8_t expected;
    uint64_t faults;
  };
  const Read reads[] = {{PAGE + 5, 0, 1}, {2 * PAGE - 1, 0, 1}, {2 * PAGE, 0, 2}, {7, bytes[7], 2}};
  for (const Read& read : reads) {
    EXPECT_EQ(Touch(view->Data() + read.at), read.expected) << read.at;
    EXPECT_EQ(view->Faults(), read.faults) << read.at;
  }
  std::remove(path.c_str());
}

TEST(VolumeView, DevicesThatAreNotFilesHaveNoView) {
  struct CSource : ostrin::platform::IVolumeSource {
    bool ReadAt(uint64_t, void*, size_t, size_t* got) const override {
      *got = 0;
      return true;
    }
  };
  const std::string path = WriteImage("volume_view_kinds", std::vector<uint8_t>(PAGE, 1));
  CVolumeDevice device;
  EXPECT_EQ(CVolumeView::Map(device), nullptr) << "nothing open";
  device.OpenSource(std::make_shared<CSource>());
  EXPECT_EQ(CVolumeView::Map(device), nullptr) << "a source";
  CVolumeDevice::ForceSectorSizeForTesting(4096);
  ASSERT_TRUE(device.OpenPath(path));
  CVolumeDevice::ForceSectorSizeForTesting(0);
  EXPECT_EQ(CVolumeView::Map(device), nullptr) << "a device read in whole sectors";
  std::remove(path.c_str());
}

TEST(VolumeViewDeathTest, ABusErrorOutsideEveryViewStillEndsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const std::string path = WriteImage("volume_view_other", std::vector<uint8_t>(2 * PAGE, 1));
  CVolumeDevice device;
  ASSERT_TRUE(device.OpenPath(path));
  const std::shared_ptr<CVolumeView> view = CVolumeView::Map(device);  // the handler is in place
  ASSERT_NE(view, nullptr);
  const int fd = ::open(path.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  void* other = ::mmap(nullptr, 2 * PAGE, PROT_READ, MAP_SHARED, fd, 0);
  ASSERT_NE(other, MAP_FAILED);
  ::close(fd);
  ASSERT_EQ(::truncate(path.c_str(), PAGE), 0);
  EXPECT_DEATH(Touch(static_cast<const uint8_t*>(other) + PAGE), "");
  EXPECT_EQ(view->Faults(), 0u);
  ::munmap(other, 2 * PAGE);
  std::remove(path.c_str());
}

}  // namespace
