// Opening a volume: geometry and MFT of every made volume against ntfsinfo and sleuthkit, every failure
// of an open, drive letters through "OstrinNT.ini", and reopening.
#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <dirent.h>
#endif

#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "common/byte_order.h"
#include "common/configuration.h"
#include "common/upcase.h"
#include "ntfs/attributes.h"
#include "ntfs/file_record.h"
#include "ntfs/ntfs_volume.h"
#include "platform/system_error.h"
#include "tests/ntfs/ntfs_test_util.h"
#include "tests/support/image_file.h"
#include "tests/support/record_patch.h"
#if !defined(_WIN32)
#include "tests/support/sleuthkit_oracle.h"
#endif
#include "tests/support/made_volume.h"

namespace {

using ostrin::test::FailureOf;

#if !defined(_WIN32)
// (Linux: ostrin-volinfo compared with ntfsinfo and istat; the extents compared with istat.)
// "Key: value" lines of a tool's output.
std::map<std::string, std::string> KeyValues(const std::string& text) {
  std::map<std::string, std::string> values;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    const size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string key = line.substr(0, colon);
    std::string value = line.substr(colon + 1);
    key.erase(0, key.find_first_not_of(" \t"));
    value.erase(0, value.find_first_not_of(" \t"));
    values.emplace(key, value);
  }
  return values;
}

// The size of the MFT's unnamed $DATA as istat reports it for record 0.
uint64_t IstatMftSize(const std::string& image) {
  const ostrin::test::SProgramResult result = ostrin::test::RunProgram({"istat", image, "0"});
  EXPECT_EQ(result.exitCode, 0) << result.err;
  // "Type: $DATA (128-1)   Name: N/A   Non-Resident   size: 5226496  init_size: 5226496"
  std::istringstream lines(result.out);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.rfind("Type: $DATA (128-", 0) != 0 || line.find("Name: N/A") == std::string::npos) continue;
    const size_t size = line.find("size: ");
    if (size != std::string::npos) return std::stoull(line.substr(size + 6));
  }
  ADD_FAILURE() << "no unnamed $DATA in istat's output:\n" << result.out;
  return 0;
}

class VolumeGeometryTest : public ::testing::TestWithParam<std::string> {};

TEST_P(VolumeGeometryTest, VolinfoPrintsWhatNtfsinfoAndIstatSee) {
  const ostrin::test::STestVolume volume = ostrin::test::MadeVolume(GetParam());
  const ostrin::test::SProgramResult ours = ostrin::test::RunProgram({OSTRIN_VOLINFO_PATH, volume.image});
  ASSERT_EQ(ours.exitCode, 0) << ours.err;
  const ostrin::test::SProgramResult theirs = ostrin::test::RunProgram({"ntfsinfo", "-m", "-f", volume.image});
  ASSERT_EQ(theirs.exitCode, 0) << theirs.err;
  const auto mine = KeyValues(ours.out);
  const auto reference = KeyValues(theirs.out);
  for (const char* key : {"Volume Name", "Volume Version", "Sector Size", "Cluster Size", "Index Block Size",
                          "MFT Record Size", "LCN of Data Attribute for FILE_MFT"}) {
    ASSERT_EQ(mine.count(key), 1u) << key;
    ASSERT_EQ(reference.count(key), 1u) << key;
    EXPECT_EQ(mine.at(key), reference.at(key)) << key;
  }
  const uint64_t mftSize = IstatMftSize(volume.image);
  EXPECT_EQ(mine.at("MFT Size"), std::to_string(mftSize));
  EXPECT_EQ(mine.at("MFT Records"), std::to_string(mftSize / std::stoull(mine.at("MFT Record Size"))));
}

std::vector<std::string> GeometryVolumes() {
  std::vector<std::string> names;
  for (const std::string& name : ostrin::test::ListTestVolumeManifests()) {
    if (name.rfind("geometry-", 0) == 0 || name == "fragmented-mft" || name == "attribute-lists") names.push_back(name);
  }
  return names;
}

INSTANTIATE_TEST_SUITE_P(MadeVolumes, VolumeGeometryTest, ::testing::ValuesIn(GeometryVolumes()),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                           std::string name = info.param;
                           for (char& c : name) c = (c == '-') ? '_' : c;
                           return name;
                         });

TEST(VolumeTest, FragmentedMftIsSplitAsIstatSees) {
  // Record 0 keeps further extents of its data in extension records (an attribute list names them).
  const ostrin::test::STestVolume volume = ostrin::test::MadeVolume("fragmented-mft");
  const ostrin::test::SIstat istat = ostrin::test::RunIstat(volume.image, 0);
  int extentsElsewhere = 0;
  for (const ostrin::test::SIstatListEntry& entry : istat.attributeList) {
    if (entry.type == 128 && entry.record != 0) ++extentsElsewhere;
  }
  EXPECT_GE(extentsElsewhere, 1) << "the volume maker should have split the MFT's data";
}

TEST(VolumeTest, FragmentedMftReadsAsIcatAcrossEveryRunBorder) {
  // The table's runs are found by binary search: pieces that start in one run and end in the next, at
  // every border, and one across many runs, are the bytes sleuthkit reads.
  const ostrin::test::STestVolume volume = ostrin::test::MadeVolume("fragmented-mft");
  CNTFSVolume reader;
  reader.OpenPath(volume.image);
  const std::string reference = ostrin::test::IcatBytes(volume.image, "0");
  ASSERT_EQ(reference.size(), reader.MftSize());
  const uint64_t cluster = reader.ClusterSize();
  std::vector<std::pair<uint64_t, uint64_t>> pieces = {{0, reference.size()}};
  for (const tagDataRun_Entry* run : reader.MftData()->Runs()) {
    if (run->startVcn != 0) pieces.emplace_back(run->startVcn * cluster - 512, 1024);
    pieces.emplace_back(run->startVcn * cluster, 1);
    pieces.emplace_back(run->lastVcn * cluster + cluster - 1, 1);
  }
  ASSERT_GE(pieces.size(), 700u) << "the volume maker should have made the MFT of hundreds of runs";
  for (const auto& [offset, length] : pieces) {
    if (offset + length > reference.size()) continue;
    std::string got(length, '\0');
    CAttrNonResident::EReadFault fault = CAttrNonResident::EReadFault::None;
    ASSERT_TRUE(reader.MftData()->ReadStored(offset, got.data(), length, &fault)) << "offset " << offset;
    EXPECT_TRUE(got == reference.substr(offset, length)) << "offset " << offset << " length " << length;
  }
}

TEST(VolumeTest, NamesUpperCaseAsTheVolumesUpcaseTableSays) {
  // The table names are compared with (common/upcase.h) is the $UpCase that a real NTFS implementation
  // writes, as sleuthkit reads it: all 65536 units.
  const std::string table = ostrin::test::IcatBytes(ostrin::test::MadeVolume("empty").image, "10");
  ASSERT_EQ(table.size(), 2u * 0x10000);
  size_t differing = 0;
  for (uint32_t unit = 0; unit < 0x10000; ++unit) {
    const auto upper = static_cast<WCHAR>(ReadLE<uint16_t>(table.data() + 2 * unit));
    if (UpcaseUnit(static_cast<WCHAR>(unit)) == upper) continue;
    if (++differing <= 8) ADD_FAILURE() << std::hex << "U+" << unit << " upper-cases to U+" << static_cast<uint16_t>(upper);
  }
  EXPECT_EQ(differing, 0u);
}
#endif

TEST(VolumeTest, FragmentedMftIsReadThroughAllItsExtents) {
  const ostrin::test::STestVolume volume = ostrin::test::MadeVolume("fragmented-mft");
  CNTFSVolume reader;
  reader.OpenPath(volume.image);
  // Record 0's data lies in several extents (FragmentedMftIsSplitAsIstatSees, on Linux).
  const auto* mftData = dynamic_cast<const CAttrNonResident*>(reader.MftData());
  ASSERT_NE(mftData, nullptr);
  EXPECT_EQ(mftData->FirstVcn(), 0u);
  EXPECT_GE(mftData->VcnCount() * reader.ClusterSize(), reader.MftSize());

  // The last records lie in the last extent; each one that is in use loads.
  const uint64_t records = reader.MftRecordCount();
  int loaded = 0;
  for (uint64_t record = records - 64; record < records; ++record) {
    CFileRecord fileRecord(&reader);
    if (fileRecord.LoadRecord(record)) ++loaded;
  }
  EXPECT_GT(loaded, 0);
  for (const ostrin::test::SExpectedEntry& entry : volume.expected) {
    CFileRecord fileRecord(&reader);
    EXPECT_TRUE(fileRecord.LoadRecord(entry.record)) << entry.path;
  }
}

TEST(VolumeTest, RecordZeroTakesOnlyItsOwnExtensionRecords) {
  // Record 0's attribute list names the extension that holds a later extent of the MFT's data. Made
  // to name an ordinary file instead (a base record, whose base reference is 0), the file's data must
  // not become the MFT's: the open keeps the MFT's own first extent.
  const ostrin::test::STestVolume volume = ostrin::test::MadeVolume("fragmented-mft");
  ostrin::test::CImageCopy copy(volume.image);
  uint64_t listOffset = 0;
  int64_t mftFirstCluster = 0;
  {
    CNTFSVolume reader;
    reader.OpenPath(volume.image);
    mftFirstCluster = (*reader.MftData()->Runs().begin())->lcn;
    CFileRecord record(&reader);
    record.SetAttributeMask(AttributeMaskBit(ATTR_TYPE_ATTRIBUTE_LIST));
    ASSERT_TRUE(record.LoadRecord(0) && record.BuildAttributeLists());
    const auto* list = dynamic_cast<const CAttrNonResident*>(record.FirstAttribute(ATTR_TYPE_ATTRIBUTE_LIST));
    ASSERT_NE(list, nullptr);
    listOffset = static_cast<uint64_t>((*list->Runs().begin())->lcn) * reader.ClusterSize();
  }
  const ostrin::test::SExpectedEntry* file = ostrin::test::FindExpected(volume.expected, "/after/nonresident.bin");
  ASSERT_NE(file, nullptr);
  bool patched = false;
  for (uint64_t offset = 0; offset < 512 && !patched;) {
    if (copy.ReadLE(listOffset + offset, 4) == ATTR_TYPE_DATA && copy.ReadLE(listOffset + offset + 0x10, 6) != 0) {
      copy.WriteLE(listOffset + offset + 0x10, 6, file->record);
      patched = true;
    }
    offset += copy.ReadLE(listOffset + offset + 4, 2);
  }
  ASSERT_TRUE(patched);
  CNTFSVolume reader;
  reader.OpenPath(copy.Path());
  EXPECT_EQ((*reader.MftData()->Runs().begin())->lcn, mftFirstCluster);
}

// A copy of a made volume, damaged by a test and then opened. (Public, so that tables of damage cases
// can reach it.)
class DamagedVolumeTest : public ::testing::Test {
 public:
  void SetUp() override {
    m_volume = ostrin::test::MadeVolume("geometry-s512-c4k");
    m_copy = std::make_unique<ostrin::test::CImageCopy>(m_volume.image);
  }

  std::string OpenFailure() {
    CNTFSVolume reader;
    return FailureOf([&] { reader.OpenPath(m_copy->Path()); });
  }

  // Offset within a record of the value of its first attribute of a type.
  uint32_t ValueOf(uint64_t record, uint32_t type) {
    const std::vector<uint8_t> bytes = ostrin::test::ReadRecord(*m_copy, record);
    const auto attribute = ostrin::test::FindAttribute(bytes, type);
    EXPECT_TRUE(attribute.has_value());
    return ostrin::test::ResidentValueOffset(bytes, *attribute);
  }

  void SetAttributeType(uint64_t record, uint32_t type, uint32_t newType) {
    const auto attribute = ostrin::test::FindAttribute(ostrin::test::ReadRecord(*m_copy, record), type);
    ASSERT_TRUE(attribute.has_value());
    ostrin::test::PatchRecord(*m_copy, record, *attribute, ostrin::test::LittleEndian(newType, 4));
  }

  ostrin::test::STestVolume m_volume;
  std::unique_ptr<ostrin::test::CImageCopy> m_copy;
};

TEST_F(DamagedVolumeTest, EveryFailureOfAnOpenHasItsCodeAndText) {
  const std::string notFound = WideToUtf8(ostrin::platform::SystemErrorText(ostrin::platform::ErrorNotFound()));
  const std::string endOfData = WideToUtf8(ostrin::platform::SystemErrorText(ostrin::platform::ErrorEndOfData()));

  // No device at all.
  CNTFSVolume reader;
  EXPECT_EQ(FailureOf([&] { reader.OpenPath(::testing::TempDir() + "no-such-volume.img"); }), "3 Open volume error. " + notFound);
  // Shorter than a boot sector.
  const std::string tiny = ::testing::TempDir() + "tiny-volume.img";
  std::ofstream(tiny) << std::string(100, 'x');
  EXPECT_EQ(FailureOf([&] { reader.OpenPath(tiny); }), "4 Read boot sector error. " + endOfData);

  struct Case {
    const char* name;
    std::function<void(DamagedVolumeTest&)> damage;
    std::string failure;
  };
  const std::vector<Case> cases = {
      {"not NTFS", [](DamagedVolumeTest& t) { t.m_copy->Write(3, "FAT32   ", 8); }, "5 Volume file system is not NTFS."},
      {"no volume information",
       [](DamagedVolumeTest& t) { t.SetAttributeType(3, 0x70, 0x40); },
       "6 Could not find volume info attribute."},
      {"version 1.2",
       [](DamagedVolumeTest& t) {
         ostrin::test::PatchRecord(*t.m_copy, 3, t.ValueOf(3, 0x70) + 8, {1, 2});
       },
       "7 NTFS version lower than 3.0."},
      {"no data in record 0", [](DamagedVolumeTest& t) { t.SetAttributeType(0, 0x80, 0x90); },
       "8 Could not parse master file table attribute."},
      {"record 3 unreadable", [](DamagedVolumeTest& t) { t.m_copy->Write(ostrin::test::MftRecordOffset(t.m_copy->Path(), 3), "BAAD", 4); },
       "15 Could not load the volume file record."},
      {"record 0 unreadable", [](DamagedVolumeTest& t) { t.m_copy->Write(ostrin::test::MftRecordOffset(t.m_copy->Path(), 0), "BAAD", 4); },
       "16 Could not load the master file table record."},
      {"no bytes per sector", [](DamagedVolumeTest& t) { t.m_copy->WriteLE(0x0B, 2, 0); }, "17 Boot sector geometry is not valid."},
      {"no sectors per cluster", [](DamagedVolumeTest& t) { t.m_copy->WriteLE(0x0D, 1, 0); }, "17 Boot sector geometry is not valid."},
      {"one-byte records", [](DamagedVolumeTest& t) { t.m_copy->WriteLE(0x40, 1, 0); }, "17 Boot sector geometry is not valid."},
      {"records of 2^127 bytes", [](DamagedVolumeTest& t) { t.m_copy->WriteLE(0x40, 1, 0x81); }, "17 Boot sector geometry is not valid."},
  };
  for (const Case& c : cases) {
    SetUp();
    c.damage(*this);
    EXPECT_EQ(OpenFailure(), c.failure) << c.name;
  }
}

TEST_F(DamagedVolumeTest, VersionsFrom3_0AreAccepted) {
  for (const std::vector<uint8_t>& version : {std::vector<uint8_t>{3, 0}, std::vector<uint8_t>{3, 1}}) {
    SetUp();
    ostrin::test::PatchRecord(*m_copy, 3, ValueOf(3, 0x70) + 8, version);
    CNTFSVolume reader;
    reader.OpenPath(m_copy->Path());
    EXPECT_EQ(reader.NtfsVersion(), version[0] * 256 + version[1]);
  }
}

// The descriptors this process holds open; Windows has no /proc, so there the count stays 0.
int OpenDescriptors() {
  int count = 0;
#if !defined(_WIN32)
  DIR* directory = opendir("/proc/self/fd");
  while (readdir(directory) != nullptr) ++count;
  closedir(directory);
#endif
  return count;
}

TEST(VolumeLetterTest, LettersOpenTheVolumesTheConfigurationMaps) {
  const ostrin::test::STestVolume small = ostrin::test::MadeVolume("geometry-s512-c4k");
  const ostrin::test::STestVolume large = ostrin::test::MadeVolume("geometry-s4096-c64k");
  const ostrin::test::CScopedConfiguration configuration("volume.C = " + small.image + "\nVOLUME.d=" + large.image + "\n");
  CNTFSVolume reader;
  // What the service does: the letter's mapping from the configuration, opened by the reader.
  const auto open = [&reader](WCHAR letter) { reader.OpenLetter(letter, ReadConfigurationFile().VolumeOf(letter)); };
  open('c');  // either case names the same mapping
  EXPECT_EQ(reader.ClusterSize(), 4096u);
  const int descriptors = OpenDescriptors();
  const CFileRecord* firstMftRecord = reader.MftRecord();
  ASSERT_NE(firstMftRecord, nullptr);

  // Opening again closes the old device and drops the old MFT record first.
  open('D');
  EXPECT_EQ(reader.ClusterSize(), 65536u);
  EXPECT_EQ(reader.BytesPerSector(), 4096u);
  EXPECT_EQ(OpenDescriptors(), descriptors);

  const std::string notFound = WideToUtf8(ostrin::platform::SystemErrorText(ostrin::platform::ErrorNotFound()));
  EXPECT_EQ(FailureOf([&] { open('E'); }), "3 Open volume error. " + notFound);  // not mapped
  EXPECT_FALSE(reader.IsOpen());
  for (const WCHAR letter : {WCHAR('1'), WCHAR(':'), WCHAR(0xE9)}) {
    EXPECT_EQ(FailureOf([&] { open(letter); }), "2 Volume name error, should be like 'C', 'D'.");
  }
}

}  // namespace
