// The MFT scan end to end: every made volume is scanned, linked and written as a drive image, and the
// image is compared entry by entry with what the volume maker put in and with what sleuthkit reads.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <unistd.h>

#include "common/exceptions.h"
#include "common/text.h"
#include "index/drive_index.h"
#include "index/image_format.h"
#include "index/image_walk.h"
#include "tests/support/image_file.h"
#include "tests/support/listing_compare.h"
#include "tests/support/record_patch.h"
#include "tests/support/run_program.h"
#include "tests/support/sleuthkit_oracle.h"
#include "tests/support/test_volume.h"

namespace {

using ostrin::test::SExpectedEntry;
using ostrin::test::SFlsEntry;

struct CScanned {
  ostrin::test::CListedEntries entries;
  uint64_t imageSize = 0;
};

std::string JoinPath(const std::vector<WString>& path) {
  std::string text;
  for (const WString& name : path) text += "/" + WideToUtf8(name);
  return text;
}

// Scans a volume image the way a drive build does and walks the image it writes.
CScanned ScanImage(const std::string& image, const ScanProgress& progress = [](int32_t) { return true; }) {
  CDriveIndex drive;
  drive.Volume().OpenPath(image);
  EXPECT_TRUE(drive.ScanVolume(progress));
  drive.LinkTree();
  drive.AttachFiles();
  CScanned scanned;
  scanned.imageSize = drive.Root()->ComputeImageSize();
  std::vector<uint8_t> bytes(scanned.imageSize);
  EXPECT_EQ(drive.Root()->WriteImage(bytes.data(), bytes.data(), 0), bytes.data() + bytes.size());
  drive.DeleteTree();
  std::string error;
  EXPECT_TRUE(WalkImage(bytes.data(), bytes.size(), [&](const CImageEntry& entry) {
    EXPECT_TRUE(scanned.entries.emplace(JoinPath(entry.path), entry).second) << "listed twice: " << JoinPath(entry.path);
  }, &error)) << error;
  return scanned;
}

void CompareWithSleuthkit(const CScanned& scanned, const std::string& image, uint64_t offsetSectors = 0) {
  std::map<std::pair<uint64_t, std::string>, std::vector<SFlsEntry>> groups;
  for (const SFlsEntry& entry : ostrin::test::UserEntries(ostrin::test::RunFls(image, offsetSectors))) {
    if (!entry.hasUnnamedData && entry.nameType != 'd') continue;
    const std::string where = entry.nameType == 'd' ? std::string() : ostrin::test::ParentPath(entry.path);
    groups[{entry.record, where}].push_back(entry);
    const auto found = scanned.entries.find(entry.path);
    if (found == scanned.entries.end()) continue;
    SCOPED_TRACE(entry.path);
    EXPECT_EQ(found->second.isDirectory, entry.nameType == 'd');
    if (entry.nameType != 'd') {
      EXPECT_EQ(found->second.fileSize, entry.size);
    }
    // sleuthkit prints whole seconds, in UTC here.
    EXPECT_EQ(ostrin::test::FileTimeToUnixSeconds(found->second.lastWriteTime), entry.written);
    EXPECT_EQ(ostrin::test::FileTimeToUnixSeconds(found->second.lastAccessTime), entry.accessed);
    EXPECT_EQ(ostrin::test::FileTimeToUnixSeconds(found->second.creationTime), entry.created);
  }
  ostrin::test::ExpectOnePathPerGroup(scanned.entries, groups, "fls");
}

std::vector<std::string> ScannedVolumes() {
  std::vector<std::string> names = ostrin::test::ListTestVolumeManifests();
  // The benchmark volume is for benchmarks only.
  names.erase(std::remove_if(names.begin(), names.end(), [](const std::string& name) { return name.rfind("bench", 0) == 0; }),
              names.end());
  return names;
}

class ScanVolumeTest : public ::testing::TestWithParam<std::string> {};

TEST_P(ScanVolumeTest, ImageMatchesTheMakerAndSleuthkit) {
  const ostrin::test::STestVolume volume = ostrin::test::MakeTestVolume(GetParam());
  const CScanned scanned = ScanImage(volume.image);
  ostrin::test::CompareWithMaker(scanned.entries, volume.expected);
  CompareWithSleuthkit(scanned, volume.image);
}

INSTANTIATE_TEST_SUITE_P(MadeVolumes, ScanVolumeTest, ::testing::ValuesIn(ScannedVolumes()),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                           std::string name = info.param;
                           std::replace(name.begin(), name.end(), '-', '_');
                           return name;
                         });

TEST(ScanTest, NamesAndSizesFollowTheNameRules) {
  // The cases behind the rules, spelled out (the table test above checks them only in bulk).
  const ostrin::test::STestVolume volume = ostrin::test::MakeTestVolume("links-and-names");
  const CScanned scanned = ScanImage(volume.image);
  const auto has = [&](const std::string& path) { return scanned.entries.count(path) != 0; };
  // Hard links in two directories: listed in both, both marked.
  ASSERT_TRUE(has("/a/shared.txt"));
  ASSERT_TRUE(has("/b/shared-elsewhere.txt"));
  EXPECT_NE(scanned.entries.at("/a/shared.txt").attributes & ATTR_HAS_HARDLINKS, 0u);
  EXPECT_NE(scanned.entries.at("/b/shared-elsewhere.txt").attributes & ATTR_HAS_HARDLINKS, 0u);
  // Two names in one directory: one entry, marked.
  EXPECT_NE(has("/a/twice.txt"), has("/a/twice-again.txt"));
  const std::string twice = has("/a/twice.txt") ? "/a/twice.txt" : "/a/twice-again.txt";
  EXPECT_NE(scanned.entries.at(twice).attributes & ATTR_HAS_HARDLINKS, 0u);
  // A Win32 name with a DOS name beside it: the long name only, not marked.
  ASSERT_TRUE(has("/a/Long File Name.txt"));
  EXPECT_FALSE(has("/a/LONGFI~1.TXT"));
  EXPECT_EQ(scanned.entries.at("/a/Long File Name.txt").attributes & ATTR_HAS_HARDLINKS, 0u);
  // POSIX names equal but for case are three files.
  EXPECT_TRUE(has("/case/Readme") && has("/case/README") && has("/case/readme"));
  EXPECT_EQ(scanned.entries.at("/case/README").fileSize, 2u);
}

TEST(ScanTest, ProgressReportsEveryWholePercentOnceAndNever100) {
  const ostrin::test::STestVolume volume = ostrin::test::MakeTestVolume("many-records");
  CNTFSVolume reader;
  reader.OpenPath(volume.image);
  const uint64_t mftSize = reader.MftSize();
  constexpr uint64_t MIB = 1024 * 1024;
  ASSERT_GE(mftSize, 5 * MIB) << "the volume's MFT should span several chunks";

  // Chunks start at every whole MiB (4096-byte clusters); each start's percentage is reported when it
  // differs from the last one reported, which starts at 0.
  std::vector<int32_t> expected;
  for (uint64_t offset = 0; offset < mftSize; offset += MIB) {
    const auto percent = static_cast<int32_t>(static_cast<double>(offset) / static_cast<double>(mftSize) * 100.0);
    if (percent != (expected.empty() ? 0 : expected.back())) expected.push_back(percent);
  }
  std::vector<int32_t> reported;
  ScanImage(volume.image, [&](int32_t percent) {
    reported.push_back(percent);
    return true;
  });
  EXPECT_EQ(reported, expected);
}

TEST(ScanTest, AbortAtTheFirstReportLeavesNoNodes) {
  // Leaks would be reported by LeakSanitizer when this suite runs under AddressSanitizer.
  const ostrin::test::STestVolume volume = ostrin::test::MakeTestVolume("bulk-small");
  CDriveIndex drive;
  drive.Volume().OpenPath(volume.image);
  int reports = 0;
  EXPECT_FALSE(drive.ScanVolume([&](int32_t) { return ++reports > 1; }));
  EXPECT_EQ(reports, 1);
  // Nothing was handed over that survives: a fresh link gives an empty root.
  drive.LinkTree();
  drive.AttachFiles();
  EXPECT_TRUE(drive.Root()->Children().empty());
}

// A copy of a made volume with records patched; each case scans the copy.
class DamagedScanTest : public ::testing::Test {
 public:
  void SetUp() override {
    m_volume = ostrin::test::MakeTestVolume("links-and-names");
    m_copy = std::make_unique<ostrin::test::CImageCopy>(m_volume.image);
  }

  uint64_t RecordOf(const std::string& path) const {
    const SExpectedEntry* entry = ostrin::test::FindExpected(m_volume.expected, path);
    EXPECT_NE(entry, nullptr) << path;
    return entry != nullptr ? entry->record : 0;
  }

  // Points the parent reference of a record's first file name at another record.
  void SetParent(uint64_t record, uint64_t parent) {
    const std::vector<uint8_t> bytes = ostrin::test::ReadRecord(*m_copy, record);
    const auto name = ostrin::test::FindAttribute(bytes, 0x30);
    ASSERT_TRUE(name.has_value());
    ostrin::test::PatchRecord(*m_copy, record, ostrin::test::ResidentValueOffset(bytes, *name),
                              ostrin::test::LittleEndian(parent, 6));
  }

  // The failure a scan of the copy throws, as "code text".
  std::string ScanFailure() {
    CDriveIndex drive;
    try {
      drive.Volume().OpenPath(m_copy->Path());
      drive.ScanVolume([](int32_t) { return true; });
    } catch (const CException& e) {
      return std::to_string(e.Code()) + " " + WideToUtf8(e.Message());
    }
    return "no failure";
  }

  ostrin::test::STestVolume m_volume;
  std::unique_ptr<ostrin::test::CImageCopy> m_copy;
};
// (Members are public so that the table of damage cases below can reach them.)

TEST_F(DamagedScanTest, OrphansAndParentLoopsAreLeftOut) {
  SetParent(RecordOf("/x"), 0x7FFFFF);        // parent record does not exist
  SetParent(RecordOf("/y"), RecordOf("/y/same"));  // y and y/same name each other
  SetParent(RecordOf("/z/same"), RecordOf("/z/same"));  // its own parent
  const CScanned scanned = ScanImage(m_copy->Path());
  for (const auto& [path, entry] : scanned.entries) {
    EXPECT_NE(path.rfind("/x", 0), 0u) << path;
    EXPECT_NE(path.rfind("/y", 0), 0u) << path;
    EXPECT_NE(path.rfind("/z/same", 0), 0u) << path;
  }
  EXPECT_EQ(scanned.entries.count("/z"), 1u);
  EXPECT_EQ(scanned.entries.count("/a/shared.txt"), 1u);
}

TEST_F(DamagedScanTest, DamagedRecordsFailTheScanWithTheirCodes) {
  struct Case {
    const char* name;
    std::function<void(DamagedScanTest&)> damage;
    std::string failure;
  };
  const std::vector<Case> cases = {
      {"bad signature",
       [](DamagedScanTest& t) { t.m_copy->Write(ostrin::test::MftRecordOffset(t.m_copy->Path(), t.RecordOf("/a/shared.txt")), "BAAD", 4); },
       "10 Cannot parse File Record"},
      {"fix-up mismatch",
       [](DamagedScanTest& t) {
         const uint64_t offset = ostrin::test::MftRecordOffset(t.m_copy->Path(), t.RecordOf("/a/shared.txt"));
         t.m_copy->WriteLE(offset + 1022, 2, t.m_copy->ReadLE(offset + 1022, 2) ^ 0xFFFF);
       },
       "10 Cannot parse File Record"},
      {"attribute of a type past the lists",
       [](DamagedScanTest& t) {
         const uint64_t record = t.RecordOf("/a/shared.txt");
         const auto offset = ostrin::test::FindAttribute(ostrin::test::ReadRecord(*t.m_copy, record), 0x30);
         ostrin::test::PatchRecord(*t.m_copy, record, *offset, ostrin::test::LittleEndian(0x210, 4));
       },
       "10 Cannot parse attributes"},
      {"in-use record without a file name",
       [](DamagedScanTest& t) {
         const uint64_t record = t.RecordOf("/a/win32-only.txt");
         const auto offset = ostrin::test::FindAttribute(ostrin::test::ReadRecord(*t.m_copy, record), 0x30);
         ostrin::test::PatchRecord(*t.m_copy, record, *offset, ostrin::test::LittleEndian(0x40, 4));
       },
       "11 Cannot find filename attribute"},
  };
  for (const Case& c : cases) {
    SetUp();
    c.damage(*this);
    EXPECT_EQ(ScanFailure(), c.failure) << c.name;
  }
}

TEST_F(DamagedScanTest, UnreadableMftFailsWithReadDataError) {
  // Cut the image just after the first sixteen records: the volume still opens, the table cannot be read.
  const ostrin::test::SBootGeometry geometry = ostrin::test::ReadBootGeometry(m_copy->Path());
  ASSERT_EQ(truncate(m_copy->Path().c_str(), static_cast<off_t>(geometry.mftOffset + 16 * geometry.fileRecordSize)), 0);
  EXPECT_EQ(ScanFailure(), "9 Read data error");
}

TEST(ScanTest, PublicForensicSampleListsWhatSleuthkitLists) {
  // Debian's forensics-samples-ntfs: an NTFS partition at sector 2048 of fs.ntfs.xz, with deleted
  // files and directories.
  const std::string raw = ::testing::TempDir() + "forensics-sample.raw";
  const std::string command = "xz -dc /usr/share/forensics-samples/fs.ntfs.xz > " + raw;
  ASSERT_EQ(std::system(command.c_str()), 0);
  constexpr uint64_t PARTITION_START_SECTOR = 2048;
  const std::string image = ::testing::TempDir() + "forensics-sample.img";
  ASSERT_EQ(std::system(("dd if=" + raw + " of=" + image + " bs=512 skip=2048 count=100352 status=none").c_str()), 0);
  const CScanned scanned = ScanImage(image);
  EXPECT_GE(scanned.entries.size(), 20u);
  CompareWithSleuthkit(scanned, raw, PARTITION_START_SECTOR);
  std::remove(raw.c_str());
  std::remove(image.c_str());
}

}  // namespace
