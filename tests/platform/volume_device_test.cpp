// Reads of a device of large sectors: any byte range is read through whole sectors, and a volume of
// 4096-byte sectors opens and scans through a device that refuses every other read (Linux, and the
// Windows volume device under Wine); on Linux, which kinds of file open as a volume and what a file's
// stamp tells.
#include <gtest/gtest.h>
#if !defined(_WIN32)
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "index/drive_index.h"
#include "ntfs/mft_scan.h"
#include "platform/device_stamp.h"
#include "platform/sector_reads.h"
#include "platform/volume_device.h"
#include "tests/support/made_volume.h"

namespace {

using ostrin::platform::CSectorBuffer;
using ostrin::platform::CVolumeDevice;
using ostrin::platform::IsWholeSectors;
using ostrin::platform::ReadThroughSectors;

constexpr uint32_t SECTOR = 4096;

// A device of 4096-byte sectors in memory that fails every read that is not whole sectors.
struct CStrictDevice {
  std::vector<uint8_t> bytes;
  size_t largestRead = 0;
  int reads = 0;

  bool operator()(uint64_t offset, void* buffer, size_t length, size_t* got) {
    ++reads;
    *got = 0;
    if (!IsWholeSectors(SECTOR, offset, buffer, length)) return false;
    largestRead = std::max(largestRead, length);
    if (offset >= bytes.size()) return true;
    *got = std::min<size_t>(length, bytes.size() - offset);
    std::memcpy(buffer, bytes.data() + offset, *got);
    return true;
  }
};

std::vector<uint8_t> Pattern(size_t size) {
  std::vector<uint8_t> bytes(size);
  uint32_t x = 0x9E3779B9;
  for (uint8_t& b : bytes) {
    x = x * 1664525 + 1013904223;
    b = static_cast<uint8_t>(x >> 24);
  }
  return bytes;
}

TEST(SectorReads, AnyRangeComesThroughWholeSectorsAndStopsAtTheEnd) {
  CStrictDevice device{Pattern(8 * SECTOR + 3 * CSectorBuffer::MAX_BYTES)};
  const size_t size = device.bytes.size();
  struct Case {
    uint64_t offset;
    size_t length;
    size_t bufferShift;  // the buffer's address off a sector boundary
    size_t expected;
  };
  const Case cases[] = {
      {0, 512, 0, 512},                              // the boot sector of a volume of 512-byte sectors
      {1, 10, 0, 10},                                // inside one sector
      {SECTOR - 1, 2, 0, 2},                         // across a sector boundary
      {SECTOR, SECTOR, 16, SECTOR},                  // whole sectors into memory that is not aligned
      {3 * SECTOR + 100, 9000, 0, 9000},             // several sectors, both ends cut
      {7, 2 * CSectorBuffer::MAX_BYTES + 5, 1, 2 * CSectorBuffer::MAX_BYTES + 5},  // more than the bounce buffer
      {size - 10, 100, 0, 10},                       // past the end: what is there
      {size + SECTOR, 10, 0, 0},                     // wholly past the end
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.offset) + "+" + std::to_string(c.length));
    device.largestRead = 0;
    std::vector<uint8_t> memory(c.length + 2 * SECTOR);
    uint8_t* aligned = memory.data() + (SECTOR - reinterpret_cast<uintptr_t>(memory.data()) % SECTOR) % SECTOR;
    uint8_t* buffer = aligned + c.bufferShift;
    size_t got = 99;
    ASSERT_TRUE(ReadThroughSectors(SECTOR, c.offset, buffer, c.length, &got, device));
    ASSERT_EQ(got, c.expected);
    if (got != 0) {
      EXPECT_EQ(std::memcmp(buffer, device.bytes.data() + c.offset, got), 0);
    }
    EXPECT_LE(device.largestRead, CSectorBuffer::MAX_BYTES);
  }
}

TEST(SectorReads, AlignedRequestsGoStraightToTheDeviceAndFailuresArePassedOn) {
  CStrictDevice device{Pattern(4 * SECTOR)};
  CSectorBuffer memory(SECTOR, 2 * SECTOR);
  size_t got = 0;
  ASSERT_TRUE(ReadThroughSectors(SECTOR, SECTOR, memory.Data(), 2 * SECTOR, &got, device));
  EXPECT_EQ(device.reads, 1);
  EXPECT_EQ(got, 2u * SECTOR);
  EXPECT_EQ(std::memcmp(memory.Data(), device.bytes.data() + SECTOR, got), 0);
  auto failing = [](uint64_t, void*, size_t, size_t* read) {
    *read = 0;
    return false;
  };
  uint8_t small[10];
  EXPECT_FALSE(ReadThroughSectors(SECTOR, 5, small, sizeof small, &got, failing));
  EXPECT_EQ(got, 0u);
}

// Scans an open drive's volume and returns its image, as a drive build writes it.
std::vector<uint8_t> ScanToImage(CDriveIndex& drive) {
  EXPECT_TRUE(drive.ScanVolume(ScanProgress([](int32_t) { return true; })));
  drive.LinkTree();
  drive.AttachFiles();
  std::vector<uint8_t> image(drive.Root()->ComputeImageSize());
  EXPECT_EQ(drive.Root()->WriteImage(image.data(), image.data(), 0), image.data() + image.size());
  drive.DeleteTree();
  return image;
}

class FourKnVolume : public ::testing::TestWithParam<std::string> {
 protected:
  void TearDown() override { CVolumeDevice::ForceSectorSizeForTesting(0); }
};

TEST_P(FourKnVolume, OpensAndScansThroughWholeSectorReadsOnly) {
  const std::string image = ostrin::test::MadeVolumeImage(GetParam());
  CDriveIndex plain;
  plain.Volume().OpenPath(image);
  EXPECT_EQ(plain.Volume().Device().SectorSize(), 1u);
  const std::vector<uint8_t> expected = ScanToImage(plain);

  CVolumeDevice::ForceSectorSizeForTesting(SECTOR);
  CDriveIndex drive;
  drive.Volume().OpenPath(image);  // the boot sector and the MFT's record, read in whole sectors
  ASSERT_EQ(drive.Volume().Device().SectorSize(), SECTOR);
  EXPECT_EQ(drive.Volume().BytesPerSector(), SECTOR);
  const std::vector<uint8_t> scanned = ScanToImage(drive);  // every chunk of the MFT
  ASSERT_EQ(scanned.size(), expected.size());
  EXPECT_TRUE(scanned == expected);

  // The device itself, asked for bytes that are not whole sectors.
  const uint64_t mft = drive.Volume().MftOffset();
  for (uint64_t offset : {uint64_t{3}, mft + 1, mft + SECTOR - 7}) {
    uint8_t forced[1000] = {}, direct[1000] = {};
    size_t got = 0;
    ASSERT_TRUE(drive.Volume().Device().ReadAt(offset, forced, sizeof forced, &got));
    ASSERT_EQ(got, sizeof forced);
    ASSERT_TRUE(plain.Volume().Device().ReadAt(offset, direct, sizeof direct, &got));
    EXPECT_EQ(std::memcmp(forced, direct, sizeof forced), 0) << offset;
  }
}

INSTANTIATE_TEST_SUITE_P(MadeVolumes, FourKnVolume,
                         ::testing::Values("geometry-s4096-c4k", "geometry-s4096-c64k", "attribute-lists-4k"),
                         [](const auto& info) {
                           std::string name = info.param;
                           for (char& c : name) if (c == '-') c = '_';
                           return name;
                         });

#if !defined(_WIN32)
// (Linux: FIFOs, character devices and file times as Linux keeps them.)
// Only an image file or a block device opens as a volume: anything else fails at once (a FIFO would
// wait for a writer for ever). The stamp of an image file tells a change, and a file written within
// the second of the look never counts as unchanged.
TEST(VolumeDeviceKinds, OnlyFilesAndBlockDevicesOpenAndAFileStampTellsAChange) {
  namespace platform = ostrin::platform;
  const std::string folder = ::testing::TempDir() + "volume_kinds_" + std::to_string(::getpid());
  ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
  const std::string fifo = folder + "/fifo", file = folder + "/image";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  { std::ofstream(file) << "some bytes"; }
  struct Case {
    std::string path;
    bool opens;
    int error;
    platform::EDeviceKind kind;
  };
  const Case cases[] = {
      {file, true, 0, platform::EDeviceKind::File},
      {folder, false, EISDIR, platform::EDeviceKind::Unreadable},
      {fifo, false, ENOTBLK, platform::EDeviceKind::Unreadable},
      {"/dev/null", false, ENOTBLK, platform::EDeviceKind::Unreadable},
      {folder + "/missing", false, ENOENT, platform::EDeviceKind::Unreadable},
  };
  for (const Case& c : cases) {
    platform::CVolumeDevice device;
    errno = 0;
    EXPECT_EQ(device.OpenPath(c.path), c.opens) << c.path;
    if (!c.opens) {
      EXPECT_EQ(errno, c.error) << c.path;
    }
    EXPECT_EQ(platform::ReadDeviceStamp('V', c.path).kind, c.kind) << c.path;
  }

  const platform::CDeviceStamp fresh = platform::ReadDeviceStamp('V', file);
  EXPECT_FALSE(fresh.settled);
  EXPECT_FALSE(platform::SameDeviceState(fresh, platform::ReadDeviceStamp('V', file))) << "written this second";
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  const platform::CDeviceStamp settled = platform::ReadDeviceStamp('V', file);
  EXPECT_TRUE(settled.settled);
  EXPECT_TRUE(platform::SameDeviceState(settled, platform::ReadDeviceStamp('V', file)));
  { std::ofstream(file, std::ios::app) << "more"; }
  EXPECT_FALSE(platform::SameDeviceState(settled, platform::ReadDeviceStamp('V', file)));
  std::remove(fifo.c_str());
  std::remove(file.c_str());
  ::rmdir(folder.c_str());
}
#endif

}  // namespace
