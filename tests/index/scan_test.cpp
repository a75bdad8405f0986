// The MFT scan end to end: made volumes are scanned, linked and written as a drive image, and the
// image is compared entry by entry with what the volume maker put in and, on Linux, with what
// sleuthkit reads. The program runs under Wine too, on the volumes from OSTRIN_TEST_VOLUME_DIR.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "common/exceptions.h"
#include "common/text.h"
#include "common/byte_order.h"
#include "index/drive_index.h"
#include "index/image_format.h"
#include "index/image_walk.h"
#include "ntfs/attributes.h"
#include "ntfs/file_record.h"
#include "ntfs/layout.h"
#include "tests/support/image_file.h"
#include "tests/support/listing_compare.h"
#include "tests/support/record_patch.h"
#include "tests/support/made_volume.h"
#if !defined(_WIN32)
#include "tests/support/run_program.h"
#include "tests/support/sleuthkit_oracle.h"
#endif

namespace {

using ostrin::test::SExpectedEntry;

struct CScanned {
  ostrin::test::CListedEntries entries;
  uint64_t imageSize = 0;
  std::string damage;  // what the scan reported of damaged records it skipped; empty when none
};

std::string JoinPath(const std::vector<WString>& path) {
  std::string text;
  for (const WString& name : path) text += "/" + WideToUtf8(name);
  return text;
}

// Scans an open volume the way a drive build does and walks the image it writes.
CScanned ScanOpenVolume(CDriveIndex& drive, const ScanProgress::Report& report = [](int32_t) { return true; }) {
  std::string damage;
  EXPECT_TRUE(drive.ScanVolume(ScanProgress(report, nullptr, [&](const CScanDamage& found) {
    EXPECT_TRUE(damage.empty()) << "damage is reported once per scan";
    damage = WideToUtf8(found.Describe());
  })));
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
  scanned.damage = damage;
  return scanned;
}

CScanned ScanImage(const std::string& image, const ScanProgress::Report& report = [](int32_t) { return true; }) {
  CDriveIndex drive;
  drive.Volume().OpenPath(image);
  CScanned scanned = ScanOpenVolume(drive, report);
  EXPECT_EQ(scanned.damage, "") << image;
  return scanned;
}

#if !defined(_WIN32)
// (Linux: sleuthkit's fls is a Linux program.)
using ostrin::test::SFlsEntry;

void CompareWithSleuthkit(const CScanned& scanned, const std::string& image, uint64_t offsetSectors = 0) {
  std::map<std::pair<uint64_t, std::string>, std::vector<SFlsEntry>> groups;
  for (const SFlsEntry& entry : ostrin::test::UserEntries(ostrin::test::RunFls(image, offsetSectors))) {
    if (!entry.hasUnnamedData && entry.nameType != 'd') continue;
    groups[{entry.record, entry.nameType == 'd' ? std::string() : entry.path}].push_back(entry);
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

// Against the maker: volume_scan_test.cpp (it runs under Wine too).
TEST_P(ScanVolumeTest, ImageMatchesSleuthkit) {
  const ostrin::test::STestVolume volume = ostrin::test::MadeVolume(GetParam());
  const CScanned scanned = ScanImage(volume.image);
  CompareWithSleuthkit(scanned, volume.image);
}

INSTANTIATE_TEST_SUITE_P(MadeVolumes, ScanVolumeTest, ::testing::ValuesIn(ScannedVolumes()),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                           std::string name = info.param;
                           std::replace(name.begin(), name.end(), '-', '_');
                           return name;
                         });
#endif

TEST(ScanTest, NamesAndSizesFollowTheNameRules) {
  // The cases behind the rules, spelled out (the table test above checks them only in bulk).
  const ostrin::test::STestVolume volume = ostrin::test::MadeVolume("links-and-names");
  const CScanned scanned = ScanImage(volume.image);
  const auto has = [&](const std::string& path) { return scanned.entries.count(path) != 0; };
  // Hard links in two directories: listed in both, both marked.
  ASSERT_TRUE(has("/a/shared.txt"));
  ASSERT_TRUE(has("/b/shared-elsewhere.txt"));
  EXPECT_NE(scanned.entries.at("/a/shared.txt").attributes & ATTR_HAS_HARDLINKS, 0u);
  EXPECT_NE(scanned.entries.at("/b/shared-elsewhere.txt").attributes & ATTR_HAS_HARDLINKS, 0u);
  // Two names in one directory: two entries, both marked.
  ASSERT_TRUE(has("/a/twice.txt") && has("/a/twice-again.txt"));
  EXPECT_NE(scanned.entries.at("/a/twice.txt").attributes & ATTR_HAS_HARDLINKS, 0u);
  EXPECT_NE(scanned.entries.at("/a/twice-again.txt").attributes & ATTR_HAS_HARDLINKS, 0u);
  // A Win32 name with a DOS name beside it: the long name only, not marked.
  ASSERT_TRUE(has("/a/Long File Name.txt"));
  EXPECT_FALSE(has("/a/LONGFI~1.TXT"));
  EXPECT_EQ(scanned.entries.at("/a/Long File Name.txt").attributes & ATTR_HAS_HARDLINKS, 0u);
  // POSIX names equal but for case are three files.
  EXPECT_TRUE(has("/case/Readme") && has("/case/README") && has("/case/readme"));
  EXPECT_EQ(scanned.entries.at("/case/README").fileSize, 2u);
}

TEST(ScanTest, EveryNameOfAFileIsAnEntry) {
  // A file with 100 names in one directory (most of them in extension records) and one in another.
  const ostrin::test::STestVolume volume = ostrin::test::MadeVolume("links-and-case");
  const CScanned scanned = ScanImage(volume.image);
  size_t inOne = 0;
  for (const auto& [path, entry] : scanned.entries) {
    if (path.rfind("/one/", 0) != 0) continue;
    ++inOne;
    EXPECT_NE(entry.attributes & ATTR_HAS_HARDLINKS, 0u) << path;
    EXPECT_EQ(entry.fileSize, 10u) << path;
  }
  EXPECT_EQ(inOne, 100u);
  EXPECT_EQ(scanned.entries.count("/two/elsewhere.txt"), 1u);
}

TEST(ScanTest, ProgressReportsEveryWholePercentOnceAndNever100) {
  const ostrin::test::STestVolume volume = ostrin::test::MadeVolume("many-records");
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

TEST(ScanTest, AbortAndStopRequestsLeaveNoNodes) {
  // Leaks would be reported by LeakSanitizer when this suite runs under AddressSanitizer.
  const ostrin::test::STestVolume volume = ostrin::test::MadeVolume("many-records");
  struct Case {
    const char* name;
    int stopAtChunk;  // the stop request answers true from this chunk on; -1 never
    int refuseReport;  // the progress report answers false at this report; -1 never
    int reports;       // reports the scan made
  };
  const std::vector<Case> cases = {
      {"abort at the first report", -1, 1, 1},
      // A stop is seen at every chunk, also while the percentage stands (the first chunk reports nothing).
      {"stop before the second chunk", 1, -1, 0},
      {"stop before the third chunk", 2, -1, 1},
  };
  for (const Case& c : cases) {
    CDriveIndex drive;
    drive.Volume().OpenPath(volume.image);
    int reports = 0;
    int chunks = 0;
    EXPECT_FALSE(drive.ScanVolume(ScanProgress([&](int32_t) { return ++reports != c.refuseReport; },
                                               [&] { return c.stopAtChunk >= 0 && chunks++ >= c.stopAtChunk; })))
        << c.name;
    EXPECT_EQ(reports, c.reports) << c.name;
    // Nothing was handed over that survives: a fresh link gives an empty root.
    drive.LinkTree();
    drive.AttachFiles();
    EXPECT_TRUE(drive.Root()->Children().empty()) << c.name;
  }
}

// A copy of a made volume with records patched; each case scans the copy.
class DamagedScanTest : public ::testing::Test {
 public:
  void SetUp() override {
    m_volume = ostrin::test::MadeVolume("links-and-names");
    m_copy = std::make_unique<ostrin::test::CImageCopy>(m_volume.image);
  }

  uint64_t RecordOf(const std::string& path) const {
    const SExpectedEntry* entry = ostrin::test::FindExpected(m_volume.expected, path);
    EXPECT_NE(entry, nullptr) << path;
    return entry != nullptr ? entry->record : 0;
  }

  // Points the parent reference of a record's first file name at another record, with that record's
  // sequence number when it is a record of the table (else the sequence number is left).
  void SetParent(uint64_t record, uint64_t parent, bool inTable = true) {
    const std::vector<uint8_t> bytes = ostrin::test::ReadRecord(*m_copy, record);
    const auto name = ostrin::test::FindAttribute(bytes, 0x30);
    ASSERT_TRUE(name.has_value());
    uint64_t reference = parent;
    size_t width = 6;
    if (inTable) {
      reference |= static_cast<uint64_t>(ReadLE<uint16_t>(&ostrin::test::ReadRecord(*m_copy, parent)[0x10])) << 48;
      width = 8;
    }
    ostrin::test::PatchRecord(*m_copy, record, ostrin::test::ResidentValueOffset(bytes, *name),
                              ostrin::test::LittleEndian(reference, width));
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
  SetParent(RecordOf("/x"), 0x7FFFFF, false);        // parent record does not exist
  SetParent(RecordOf("/y"), RecordOf("/y/same"));  // y and y/same name each other
  SetParent(RecordOf("/z/same"), RecordOf("/z/same"));  // its own parent
  CDriveIndex drive;
  drive.Volume().OpenPath(m_copy->Path());
  const CScanned scanned = ScanOpenVolume(drive);
  // The scan names the orphan it sees (the loops only the tree can tell).
  EXPECT_EQ(scanned.damage, "1 name whose directory no longer exists left out: " + std::to_string(RecordOf("/x")));
  for (const auto& [path, entry] : scanned.entries) {
    EXPECT_NE(path.rfind("/x", 0), 0u) << path;
    EXPECT_NE(path.rfind("/y", 0), 0u) << path;
    EXPECT_NE(path.rfind("/z/same", 0), 0u) << path;
  }
  EXPECT_EQ(scanned.entries.count("/z"), 1u);
  EXPECT_EQ(scanned.entries.count("/a/shared.txt"), 1u);
}

TEST_F(DamagedScanTest, UnreadableMftFailsWithReadDataError) {
  // Cut the image just after the first sixteen records, but no shorter than the table's size (a device
  // smaller than that does not hold the table: code 20): the volume still opens, the table cannot be read.
  const ostrin::test::SBootGeometry geometry = ostrin::test::ReadBootGeometry(m_copy->Path());
  const uint64_t mftSize = [this] {
    CNTFSVolume reader;
    reader.OpenPath(m_copy->Path());
    return reader.MftSize();
  }();
  std::filesystem::resize_file(m_copy->Path(), std::max(mftSize, geometry.mftOffset + 16 * geometry.fileRecordSize));
  EXPECT_EQ(ScanFailure(), "9 Read data error");
}

// Damage the way it happens on real disks and the way an attacker makes it, on copies of a volume made
// for it: each case patches the copy (or the device it is read through) and says what the scan must
// do with the rest of the volume.
class DamagedVolumeScanTest : public ::testing::Test {
 public:
  void SetUp() override {
    m_volume = ostrin::test::MadeVolume("damage-targets");
    for (const SExpectedEntry& entry : m_volume.expected) {
      if (!entry.isDirectory && entry.path.rfind("/bulk/", 0) == 0) m_bulkFiles.push_back(entry.record);
    }
    std::sort(m_bulkFiles.begin(), m_bulkFiles.end());
    m_bulkFiles.erase(std::unique(m_bulkFiles.begin(), m_bulkFiles.end()), m_bulkFiles.end());
    Reset();
  }
  void Reset() {
    // The source reads the old copy: Windows removes no open file, so it lets go first.
    m_source.reset();
    m_copy = std::make_unique<ostrin::test::CImageCopy>(m_volume.image);
  }

  uint64_t RecordOf(const std::string& path) const {
    const SExpectedEntry* entry = ostrin::test::FindExpected(m_volume.expected, path);
    EXPECT_NE(entry, nullptr) << path;
    return entry != nullptr ? entry->record : 0;
  }
  uint64_t Bulk(size_t n) const { return m_bulkFiles.at(n); }
  uint64_t OffsetOf(uint64_t record) const { return ostrin::test::MftRecordOffset(m_copy->Path(), record); }

  // The second sector's update sequence word no longer matches: a torn write.
  void TearRecord(uint64_t record) { m_copy->WriteLE(OffsetOf(record) + 1022, 2, m_copy->ReadLE(OffsetOf(record) + 1022, 2) ^ 0xFFFF); }
  void SetHeaderField(uint64_t record, uint32_t offset, uint64_t value, size_t width) {
    ostrin::test::PatchRecord(*m_copy, record, offset, ostrin::test::LittleEndian(value, width));
  }
  void SetAttributeType(uint64_t record, uint32_t type, uint32_t newType) {
    const auto attribute = ostrin::test::FindAttribute(ostrin::test::ReadRecord(*m_copy, record), type);
    ASSERT_TRUE(attribute.has_value());
    SetHeaderField(record, *attribute, newType, 4);
  }
  // Patches the value of a record's first file name at offsetInValue (0x40 length, 0x41 namespace,
  // 0x42 the units).
  void SetNameValue(uint64_t record, uint32_t offsetInValue, uint64_t value, size_t width) {
    const std::vector<uint8_t> bytes = ostrin::test::ReadRecord(*m_copy, record);
    const auto name = ostrin::test::FindAttribute(bytes, ATTR_TYPE_FILE_NAME);
    ASSERT_TRUE(name.has_value());
    SetHeaderField(record, ostrin::test::ResidentValueOffset(bytes, *name) + offsetInValue, value, width);
  }
  // Offset in the record of its non-resident attribute list's header, and in the image of its value.
  uint32_t ListHeader(uint64_t record) {
    const auto attribute = ostrin::test::FindAttribute(ostrin::test::ReadRecord(*m_copy, record), ATTR_TYPE_ATTRIBUTE_LIST);
    EXPECT_TRUE(attribute.has_value());
    return attribute.value_or(0);
  }
  uint64_t ListValue(uint64_t record) {
    CNTFSVolume reader;
    reader.OpenPath(m_copy->Path());
    CFileRecord base(&reader);
    base.SetAttributeMask(AttributeMaskBit(ATTR_TYPE_ATTRIBUTE_LIST));
    EXPECT_TRUE(base.LoadRecord(record) && base.BuildAttributeLists());
    const auto* list = dynamic_cast<const CAttrNonResident*>(base.FirstAttribute(ATTR_TYPE_ATTRIBUTE_LIST));
    EXPECT_NE(list, nullptr) << "record " << record << " should have a non-resident attribute list";
    return list != nullptr ? static_cast<uint64_t>((*list->Runs().begin())->lcn) * reader.ClusterSize() : 0;
  }
  // The record that the list entry naming the first name outside the base record points at.
  uint64_t ExtensionOf(uint64_t record) {
    const uint64_t value = ListValue(record);
    for (uint64_t offset = 0; offset < 512;) {
      const uint64_t type = m_copy->ReadLE(value + offset, 4);
      const uint64_t named = m_copy->ReadLE(value + offset + 0x10, 6);
      if (type == ATTR_TYPE_FILE_NAME && named != record) return named;
      offset += m_copy->ReadLE(value + offset + 4, 2);
    }
    ADD_FAILURE() << "record " << record << " has no names in extension records";
    return 0;
  }
  // The second entry of a record's attribute list (the first names the standard information).
  uint64_t SecondListEntry(uint64_t record) { return ListValue(record) + m_copy->ReadLE(ListValue(record) + 4, 2); }
  // Replaces the run list of the attribute at attributeOffset of a record; the bytes must fit.
  void SetRuns(uint64_t record, uint32_t attributeOffset, const std::vector<uint8_t>& runs) {
    const std::vector<uint8_t> bytes = ostrin::test::ReadRecord(*m_copy, record);
    const uint32_t runsAt = attributeOffset + ReadLE<uint16_t>(&bytes[attributeOffset + 0x20]);
    const uint32_t room = attributeOffset + ReadLE<uint32_t>(&bytes[attributeOffset + 4]) - runsAt;
    ASSERT_LE(runs.size(), room);
    std::vector<uint8_t> padded = runs;
    padded.resize(room, 0);
    ostrin::test::PatchRecord(*m_copy, record, runsAt, padded);
  }
  // Sets the VCN range and the three sizes of a non-resident attribute to clusters clusters of size bytes.
  void SetExtent(uint64_t record, uint32_t attributeOffset, uint64_t clusters, uint64_t size) {
    SetHeaderField(record, attributeOffset + 0x18, clusters - 1, 8);
    SetHeaderField(record, attributeOffset + 0x28, clusters * 4096, 8);
    SetHeaderField(record, attributeOffset + 0x30, size, 8);
    SetHeaderField(record, attributeOffset + 0x38, size, 8);
  }

  // Scans the copy (through m_source when a case set one). failure is "code text" when it threw.
  struct SResult {
    std::string failure;
    CScanned scanned;
  };
  SResult Scan() {
    SResult result;
    CDriveIndex drive;
    try {
      if (m_source) {
        drive.Volume().OpenSource(m_source);
      } else {
        drive.Volume().OpenPath(m_copy->Path());
      }
      result.scanned = ScanOpenVolume(drive);
    } catch (const CException& e) {
      result.failure = std::to_string(e.Code()) + " " + WideToUtf8(e.Message());
    }
    return result;
  }

  // Everything the maker made is listed, but for the names of the records gone (and what lies below
  // a directory gone).
  void ExpectListedApartFrom(const CScanned& scanned, const std::set<uint64_t>& gone) const {
    std::vector<SExpectedEntry> kept;
    std::vector<std::string> goneDirectories;
    for (const SExpectedEntry& entry : m_volume.expected) {
      if (gone.count(entry.record) != 0 && entry.isDirectory) goneDirectories.push_back(entry.path + "/");
    }
    for (const SExpectedEntry& entry : m_volume.expected) {
      const bool below = std::any_of(goneDirectories.begin(), goneDirectories.end(),
                                     [&](const std::string& directory) { return entry.path.rfind(directory, 0) == 0; });
      if (gone.count(entry.record) == 0 && !below) kept.push_back(entry);
    }
    ostrin::test::CompareWithMaker(scanned.entries, kept);
  }

  // The warning text of names left out because their directory no longer exists.
  static std::string Orphaned(const std::vector<uint64_t>& records) {
    std::string text = std::to_string(records.size()) +
                       (records.size() == 1 ? " name whose directory" : " names whose directory") + " no longer exists left out: ";
    for (size_t i = 0; i < records.size(); ++i) text += (i != 0 ? ", " : "") + std::to_string(records[i]);
    return text;
  }
  // Moves the parent reference of a record's first name to another sequence number of its parent.
  void ChangeParentSequence(uint64_t record) {
    const std::vector<uint8_t> bytes = ostrin::test::ReadRecord(*m_copy, record);
    const auto name = ostrin::test::FindAttribute(bytes, ATTR_TYPE_FILE_NAME);
    ASSERT_TRUE(name.has_value());
    const uint32_t sequenceAt = ostrin::test::ResidentValueOffset(bytes, *name) + 6;
    SetHeaderField(record, sequenceAt, static_cast<uint16_t>(ReadLE<uint16_t>(&bytes[sequenceAt]) + 1), 2);
  }

  // The warning text of skipped records, in the order the scan meets them.
  static std::string Skipped(const std::vector<std::pair<uint64_t, const char*>>& records, size_t total = 0) {
    total = std::max(total, records.size());
    std::string text = std::to_string(total) + (total == 1 ? " damaged file record" : " damaged file records") + " skipped: ";
    for (size_t i = 0; i < records.size() && i < CScanDamage::LISTED_RECORDS; ++i) {
      text += (i != 0 ? ", " : "") + std::to_string(records[i].first) + " (" + records[i].second + ")";
    }
    return total > CScanDamage::LISTED_RECORDS ? text + ", ..." : text;
  }

  ostrin::test::STestVolume m_volume;
  std::vector<uint64_t> m_bulkFiles;
  std::unique_ptr<ostrin::test::CImageCopy> m_copy;
  std::shared_ptr<ostrin::test::CImageSource> m_source;
};

TEST_F(DamagedVolumeScanTest, DamagedRecordsAreSkippedAndTheRestIsListed) {
  struct Case {
    const char* name;
    std::function<void(DamagedVolumeScanTest&)> damage;
    std::vector<uint64_t> gone;  // records no longer listed
    std::string skipped;         // the damage report; empty when nothing is skipped
    std::string failure;         // "code text" when the scan fails
  };
  const auto torn = [this](size_t count) {
    std::vector<std::pair<uint64_t, const char*>> records;
    for (size_t i = 0; i < count; ++i) records.emplace_back(Bulk(10 + i), "update sequence mismatch");
    return records;
  };
  const auto tearBulk = [](size_t count) {
    return [count](DamagedVolumeScanTest& t) {
      for (size_t i = 0; i < count; ++i) t.TearRecord(t.Bulk(10 + i));
    };
  };
  const auto range = [this](size_t count) {
    std::vector<uint64_t> records;
    for (size_t i = 0; i < count; ++i) records.push_back(Bulk(10 + i));
    return records;
  };
  const uint64_t a = Bulk(1);
  const uint64_t many = RecordOf("/lists/many-names.txt");
  const uint64_t bulkDirectory = [this] {
    for (const SExpectedEntry& entry : m_volume.expected) {
      if (entry.isDirectory && entry.path.rfind("/bulk/", 0) == 0) return entry.record;
    }
    ADD_FAILURE() << "no directory under /bulk";
    return uint64_t{0};
  }();
  const std::vector<Case> cases = {
      {"a BAAD record that is not in use",
       [a](DamagedVolumeScanTest& t) {
         t.SetHeaderField(a, 0x16, 0, 2);
         t.m_copy->Write(t.OffsetOf(a), "BAAD", 4);
       },
       {a}, "", ""},
      {"a BAAD record in use", [a](DamagedVolumeScanTest& t) { t.m_copy->Write(t.OffsetOf(a), "BAAD", 4); }, {a},
       Skipped({{a, "not a file record"}}), ""},
      {"a torn record in use", [a](DamagedVolumeScanTest& t) { t.TearRecord(a); }, {a},
       Skipped({{a, "update sequence mismatch"}}), ""},
      {"a record in use without a file name", [a](DamagedVolumeScanTest& t) { t.SetAttributeType(a, 0x30, 0x40); },
       {a}, Skipped({{a, "no file name attribute"}}), ""},
      {"a name that begins with NUL", [a](DamagedVolumeScanTest& t) { t.SetNameValue(a, 0x42, 0, 2); }, {a},
       Skipped({{a, "file name with a NUL unit"}}), ""},
      {"a name with a NUL unit inside", [a](DamagedVolumeScanTest& t) { t.SetNameValue(a, 0x42 + 2 * 3, 0, 2); }, {a},
       Skipped({{a, "file name with a NUL unit"}}), ""},
      {"a record whose only name is empty", [a](DamagedVolumeScanTest& t) { t.SetNameValue(a, 0x40, 0, 1); }, {a},
       Skipped({{a, "no usable file name"}}), ""},
      {"a record whose only name is a DOS name", [a](DamagedVolumeScanTest& t) { t.SetNameValue(a, 0x41, FILE_NAME_DOS, 1); },
       {a}, Skipped({{a, "no usable file name"}}), ""},
      // The directory a name was made in was deleted and its record used again: the name is not in
      // the record's new directory.
      {"a file's parent reference of another sequence number",
       [a](DamagedVolumeScanTest& t) { t.ChangeParentSequence(a); }, {a}, Orphaned({a}), ""},
      {"a directory's parent reference of another sequence number",
       [=](DamagedVolumeScanTest& t) { t.ChangeParentSequence(bulkDirectory); }, {bulkDirectory}, Orphaned({bulkDirectory}), ""},
      {"an attribute of a type past the lists", [a](DamagedVolumeScanTest& t) { t.SetAttributeType(a, 0x30, 0x210); },
       {a}, Skipped({{a, "attributes cannot be parsed"}}), ""},
      {"a damaged extension record", [many](DamagedVolumeScanTest& t) { t.TearRecord(t.ExtensionOf(many)); }, {many},
       Skipped({{many, "extension record damaged"}}), ""},
      {"an unreadable sector inside the MFT",
       [a](DamagedVolumeScanTest& t) {
         t.m_source = std::make_shared<ostrin::test::CImageSource>(t.m_copy->Path());
         t.m_source->AddBadRange(t.OffsetOf(a) + 512, 512);
       },
       {a}, Skipped({{a, "unreadable"}}), ""},
      {"damage within the share allowed", tearBulk(20), range(20), Skipped(torn(20), 20), ""},
      {"damage beyond the share allowed", tearBulk(50), {}, Skipped(torn(50), 50), "10 Cannot parse File Record"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Reset();
    c.damage(*this);
    const SResult result = Scan();
    EXPECT_EQ(result.failure, c.failure);
    if (!c.failure.empty()) continue;
    EXPECT_EQ(result.scanned.damage, c.skipped);
    ExpectListedApartFrom(result.scanned, std::set<uint64_t>(c.gone.begin(), c.gone.end()));
  }
}

TEST_F(DamagedVolumeScanTest, HostileVolumesEndWithAClearResult) {
  const uint64_t many = RecordOf("/lists/many-names.txt");
  const uint64_t other = RecordOf("/lists/other-names.txt");
  // Two records that call each other their base record, with attribute lists naming each other under
  // a type of the attribute list's own range: a reader that follows lists out of extension records
  // recurses until the stack runs out.
  const auto namingEachOther = [many, other](uint32_t type) {
    return [=](DamagedVolumeScanTest& t) {
      t.SetHeaderField(many, 0x20, other, 8);
      t.SetHeaderField(other, 0x20, many, 8);
      t.m_copy->WriteLE(t.SecondListEntry(many), 4, type);
      t.m_copy->WriteLE(t.SecondListEntry(many) + 0x10, 6, other);
      t.m_copy->WriteLE(t.SecondListEntry(other), 4, type);
      t.m_copy->WriteLE(t.SecondListEntry(other) + 0x10, 6, many);
      // Loading either record by itself ends too.
      CNTFSVolume reader;
      reader.OpenPath(t.m_copy->Path());
      CFileRecord record(&reader);
      record.SetAttributeMask(ATTRIBUTE_MASK_SCAN);
      ASSERT_TRUE(record.LoadRecord(many));
      record.BuildAttributeLists();
    };
  };
  // The list grows to 33 clusters near the end of the volume (free there), holding more entries than
  // a list may name records: each names another record of the table.
  const auto namingTooManyRecords = [many](DamagedVolumeScanTest& t) {
    const uint32_t header = t.ListHeader(many);
    const uint64_t entries = MAX_EXTENSION_RECORDS + 1;
    constexpr uint64_t LIST_CLUSTER = 16343;
    t.SetExtent(many, header, 33, entries * 32);
    t.SetRuns(many, header, {0x21, 33, LIST_CLUSTER & 0xFF, LIST_CLUSTER >> 8, 0});
    std::vector<uint8_t> list(entries * 32);
    for (uint64_t i = 0; i < entries; ++i) {
      WriteLE<uint32_t>(&list[i * 32], ATTR_TYPE_FILE_NAME);
      WriteLE<uint16_t>(&list[i * 32 + 4], 32);
      WriteLE<uint32_t>(&list[i * 32 + 0x10], static_cast<uint32_t>(FIRST_USER_RECORD + i));
    }
    t.m_copy->Write(LIST_CLUSTER * 4096, list);
  };
  // Record 0's $DATA, given new runs and, when clusters is not 0, a new size.
  const auto mftRuns = [](std::vector<uint8_t> runs, uint64_t clusters) {
    return [=](DamagedVolumeScanTest& t) {
      const auto data = ostrin::test::FindAttribute(ostrin::test::ReadRecord(*t.m_copy, 0), ATTR_TYPE_DATA);
      ASSERT_TRUE(data.has_value());
      if (clusters != 0) t.SetExtent(0, *data, clusters, clusters * 4096);
      t.SetRuns(0, *data, runs);
    };
  };
  // Record 0's $DATA given a new data size (and allocation) and initialized size; 0 keeps a field.
  const auto mftSizes = [](uint64_t dataSize, uint64_t initializedSize) {
    return [=](DamagedVolumeScanTest& t) {
      const auto data = ostrin::test::FindAttribute(ostrin::test::ReadRecord(*t.m_copy, 0), ATTR_TYPE_DATA);
      ASSERT_TRUE(data.has_value());
      if (dataSize != 0) {
        t.SetHeaderField(0, *data + 0x28, dataSize, 8);
        t.SetHeaderField(0, *data + 0x30, dataSize, 8);
      }
      if (initializedSize != 0) t.SetHeaderField(0, *data + 0x38, initializedSize, 8);
    };
  };
  const uint64_t mftInitialized = [this] {
    CNTFSVolume reader;
    reader.OpenPath(m_volume.image);
    return reader.MftData()->InitializedSize();
  }();
  constexpr uint64_t PETABYTE = uint64_t{1} << 50;
  const uint64_t mftClusters = ostrin::test::ReadBootGeometry(m_volume.image).mftOffset / 4096;
  ASSERT_LT(mftClusters, 0x80u);
  constexpr uint8_t RUN_CLUSTERS = 64;  // two runs of these, well inside the table's clusters

  struct Case {
    const char* name;
    std::function<void(DamagedVolumeScanTest&)> damage;
    std::vector<uint64_t> gone;
    std::string skipped;
    std::string failure;
  };
  const std::string tooLarge = Skipped({{many, "attribute list too large"}});
  const std::vector<Case> cases = {
      {"attribute lists naming each other (0x20)", namingEachOther(0x20), {many, other}, "", ""},
      {"attribute lists naming each other (0x21)", namingEachOther(0x21), {many, other}, "", ""},
      {"attribute lists naming each other (0x2F)", namingEachOther(0x2F), {many, other}, "", ""},
      {"an attribute list larger than NTFS writes",
       [many](DamagedVolumeScanTest& t) { t.SetHeaderField(many, t.ListHeader(many) + 0x30, MAX_ATTRIBUTE_LIST_SIZE + 32, 8); },
       {many}, tooLarge, ""},
      {"an attribute list naming more records than allowed", namingTooManyRecords, {many}, tooLarge, ""},
      {"an MFT of petabytes in one sparse run", mftRuns({0x06, 0, 0, 0, 0, 0, 1, 0}, uint64_t{1} << 40), {}, "",
       "20 Master file table does not fit the volume."},
      {"a sparse run in the MFT", mftRuns({0x11, RUN_CLUSTERS, static_cast<uint8_t>(mftClusters), 0x01, RUN_CLUSTERS, 0}, 0),
       {}, "", "20 Master file table does not fit the volume."},
      // The boot sector and the table claim a petabyte of a device of megabytes, initialized as far as
      // the real records: a scan would read zeros for hours.
      {"an MFT of a petabyte on a device of megabytes",
       [=](DamagedVolumeScanTest& t) {
         t.m_copy->WriteLE(offsetof(NTFS_BOOT_SECTOR, totalSectors), 8, PETABYTE / 512);
         mftSizes(PETABYTE, mftInitialized)(t);
       },
       {}, "", "20 Master file table does not fit the volume."},
      // A size beyond the clusters the runs map: what lies past them are no records in use.
      {"an MFT larger than the clusters its runs map", mftSizes(32 << 20, 32 << 20), {}, "", ""},
      {"MFT runs that read the same clusters twice",
       mftRuns({0x11, RUN_CLUSTERS, static_cast<uint8_t>(mftClusters), 0x11, RUN_CLUSTERS, 0, 0}, 0), {}, "",
       "20 Master file table does not fit the volume."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Reset();
    c.damage(*this);
    const SResult result = Scan();
    EXPECT_EQ(result.failure, c.failure);
    if (!c.failure.empty()) continue;
    EXPECT_EQ(result.scanned.damage, c.skipped);
    ExpectListedApartFrom(result.scanned, std::set<uint64_t>(c.gone.begin(), c.gone.end()));
  }
}

TEST_F(DamagedVolumeScanTest, EqualNamesOfARecordOfManyNamesAreOneEntry) {
  // many-names.txt has 13 names in one directory, most in extension records (by hash when there are
  // more than NAMES_SEARCHED_IN_ORDER). One name in an extension record is made the same units as the base record's name.
  const uint64_t many = RecordOf("/lists/many-names.txt");
  const std::vector<uint8_t> base = ostrin::test::ReadRecord(*m_copy, many);
  const uint32_t baseName = ostrin::test::ResidentValueOffset(base, ostrin::test::FindAttribute(base, ATTR_TYPE_FILE_NAME).value());
  const uint64_t extension = ExtensionOf(many);
  const std::vector<uint8_t> moved = ostrin::test::ReadRecord(*m_copy, extension);
  const uint32_t movedName = ostrin::test::ResidentValueOffset(moved, ostrin::test::FindAttribute(moved, ATTR_TYPE_FILE_NAME).value());
  std::string lost;
  for (uint32_t i = 0; i < moved[movedName + 0x40]; ++i) lost += static_cast<char>(moved[movedName + 0x42 + 2 * i]);
  const uint8_t length = base[baseName + 0x40];
  ostrin::test::PatchRecord(*m_copy, extension, movedName + 0x40,
                            std::vector<uint8_t>(base.begin() + baseName + 0x40, base.begin() + baseName + 0x42 + 2 * length));
  ostrin::test::PatchRecord(*m_copy, extension, movedName + 0x41, {moved[movedName + 0x41]});  // its own namespace

  const SResult result = Scan();
  ASSERT_EQ(result.failure, "");
  EXPECT_EQ(result.scanned.damage, "");
  std::vector<SExpectedEntry> kept;
  for (const SExpectedEntry& entry : m_volume.expected) {
    if (entry.path != "/lists/" + lost) kept.push_back(entry);
  }
  ASSERT_EQ(kept.size() + 1, m_volume.expected.size()) << lost;
  ostrin::test::CompareWithMaker(result.scanned.entries, kept);
}

TEST(ScanTest, NamesNoPathCanReachAreListedAndNamedInTheWarning) {
  // No path reaches a directory named "a\b" (it names a\b, the decoy beside it), nor the second of two
  // directories "one" in one directory: both are listed all the same, as themselves, and the warning
  // names them.
  const ostrin::test::STestVolume volume = ostrin::test::MadeVolume("unreachable-names");
  ostrin::test::CImageCopy copy(volume.image);
  const auto setUnits = [&](const std::string& path, const std::u16string& units) {
    const ostrin::test::SExpectedEntry* entry = ostrin::test::FindExpected(volume.expected, path);
    EXPECT_NE(entry, nullptr) << path;
    if (entry == nullptr) return uint64_t{0};
    const std::vector<uint8_t> record = ostrin::test::ReadRecord(copy, entry->record);
    const uint32_t value = ostrin::test::ResidentValueOffset(record, ostrin::test::FindAttribute(record, ATTR_TYPE_FILE_NAME).value());
    std::vector<uint8_t> bytes;
    for (const char16_t unit : units) bytes.insert(bytes.end(), {static_cast<uint8_t>(unit), static_cast<uint8_t>(unit >> 8)});
    ostrin::test::PatchRecord(copy, entry->record, value + 0x42, bytes);
    return entry->record;
  };
  const uint64_t backslash = setUnits("/q/aXb", u"a\\b");
  {
    CDriveIndex drive;
    drive.Volume().OpenPath(copy.Path());
    const CScanned scanned = ScanOpenVolume(drive);
    EXPECT_EQ(scanned.damage, "1 name listed that no path can reach (a backslash, or a second directory of its name): " +
                                  std::to_string(backslash));
    EXPECT_EQ(scanned.entries.count("/q/a\\b/real.txt"), 1u);
    EXPECT_EQ(scanned.entries.count("/q/a/b/decoy.txt"), 1u);
  }
  // (Both "one" are in the image, which the walk of ScanOpenVolume would call a path listed twice.)
  const uint64_t second = setUnits("/dup/two", u"one");
  CDriveIndex drive;
  drive.Volume().OpenPath(copy.Path());
  std::string damage;
  ASSERT_TRUE(drive.ScanVolume(ScanProgress([](int32_t) { return true; }, nullptr,
                                            [&](const CScanDamage& found) { damage = WideToUtf8(found.Describe()); })));
  drive.Close();
  const auto [earlier, later] = std::minmax(backslash, second);
  EXPECT_EQ(damage, "2 names listed that no path can reach (a backslash, or a second directory of their name): " +
                        std::to_string(earlier) + ", " + std::to_string(later));
}

TEST(ScanTest, AVolumeOf4096ByteSectorsIsReadInWholeSectors) {
  // A device of 4096-byte logical sectors refuses every read that is not whole sectors (Windows reads
  // volume handles that way): the boot sector, records and clusters are all read as whole sectors.
  const ostrin::test::STestVolume volume = ostrin::test::MadeVolume("geometry-s4096-c4k");
  CDriveIndex drive;
  drive.Volume().OpenSource(std::make_shared<ostrin::test::CImageSource>(volume.image, 4096));
  const CScanned scanned = ScanOpenVolume(drive);
  EXPECT_EQ(scanned.damage, "");
  ostrin::test::CompareWithMaker(scanned.entries, volume.expected);
}

#if !defined(_WIN32)
// (Linux: compared with sleuthkit's fls, and unpacked with xz and dd.)
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
#endif

}  // namespace
