// File records: fix-ups, the attribute walk with its masks and damage, and attribute lists that bring in
// the attributes of extension records.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "common/byte_order.h"
#include "common/text.h"
#include "ntfs/attributes.h"
#include "ntfs/file_record.h"
#include "ntfs/ntfs_volume.h"
#include "tests/ntfs/ntfs_test_util.h"
#include "tests/support/image_file.h"
#include "tests/support/record_patch.h"
#if !defined(_WIN32)
#include "tests/support/sleuthkit_oracle.h"
#endif
#include "tests/support/made_volume.h"

namespace {

using ostrin::test::LittleEndian;

uint64_t RecordOf(const ostrin::test::STestVolume& volume, const std::string& path) {
  const ostrin::test::SExpectedEntry* entry = ostrin::test::FindExpected(volume.expected, path);
  EXPECT_NE(entry, nullptr) << path;
  return entry != nullptr ? entry->record : 0;
}

// A record's bytes as they lie on the volume (fix-ups not applied), in a buffer the test may change.
std::vector<uint8_t> RawRecord(const std::string& image, uint64_t record) {
  const ostrin::test::CImageCopy copy(image);
  return copy.Read(ostrin::test::MftRecordOffset(image, record), ostrin::test::ReadBootGeometry(image).fileRecordSize);
}

class FileRecordTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_volume = ostrin::test::MadeVolume("links-and-names");
    m_reader.OpenPath(m_volume.image);
    // A file with one name, unnamed data and nothing else.
    m_record = RawRecord(m_volume.image, RecordOf(m_volume, "/a/Program Files/app.exe"));
  }

  ostrin::test::STestVolume m_volume;
  CNTFSVolume m_reader;
  std::vector<uint8_t> m_record;
};

TEST_F(FileRecordTest, FixupsRestoreTheProtectedWordOfEverySector) {
  ASSERT_EQ(m_reader.FileRecordSize(), 1024u);
  const uint16_t usaOffset = ReadLE<uint16_t>(&m_record[4]);
  ASSERT_EQ(ReadLE<uint16_t>(&m_record[6]), 3u) << "512-byte steps in a 1024-byte record";
  const uint16_t sequence = ReadLE<uint16_t>(&m_record[usaOffset]);
  ASSERT_EQ(ReadLE<uint16_t>(&m_record[510]), sequence);
  ASSERT_EQ(ReadLE<uint16_t>(&m_record[1022]), sequence);

  CFileRecord record(&m_reader);
  std::vector<uint8_t> bytes = m_record;
  ASSERT_TRUE(record.ApplyFixups(bytes.data()));
  EXPECT_EQ(ReadLE<uint16_t>(&bytes[510]), ReadLE<uint16_t>(&m_record[usaOffset + 2]));
  EXPECT_EQ(ReadLE<uint16_t>(&bytes[1022]), ReadLE<uint16_t>(&m_record[usaOffset + 4]));
  EXPECT_EQ(ReadLE<uint16_t>(&bytes[6]), 0u);
  const std::vector<uint8_t> once = bytes;
  EXPECT_TRUE(record.ApplyFixups(bytes.data()));  // a second application changes nothing
  EXPECT_EQ(bytes, once);
}

TEST_F(FileRecordTest, FixupFailuresStayInsideTheRecord) {
  CFileRecord record(&m_reader);
  const uint16_t usaOffset = ReadLE<uint16_t>(&m_record[4]);
  struct Case {
    const char* name;
    std::function<void(std::vector<uint8_t>&)> damage;
    bool accepted;
  };
  const std::vector<Case> cases = {
      {"count 0: no check at all", [](std::vector<uint8_t>& b) { WriteLE<uint16_t>(&b[6], 0); }, true},
      {"mismatch in the second sector", [](std::vector<uint8_t>& b) { b[1022] ^= 0xFF; }, false},
      {"more words than the record has sectors", [](std::vector<uint8_t>& b) { WriteLE<uint16_t>(&b[6], 40); }, false},
      {"array past the end of the record", [](std::vector<uint8_t>& b) { WriteLE<uint16_t>(&b[4], 1020); }, false},
      {"array at the end of the record", [](std::vector<uint8_t>& b) { WriteLE<uint16_t>(&b[4], 0xFFFF); }, false},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> bytes = m_record;
    c.damage(bytes);
    EXPECT_EQ(record.ApplyFixups(bytes.data()), c.accepted) << c.name;
  }
  // A mismatch in the second sector fails after the first sector was restored.
  std::vector<uint8_t> bytes = m_record;
  bytes[1022] ^= 0xFF;
  EXPECT_FALSE(record.ApplyFixups(bytes.data()));
  EXPECT_EQ(ReadLE<uint16_t>(&bytes[510]), ReadLE<uint16_t>(&m_record[usaOffset + 2]));
}

// Builds the attributes of record bytes (fix-ups applied) with a mask; the number built per type.
std::map<uint32_t, int> BuildCounts(CNTFSVolume& reader, std::vector<uint8_t>& bytes, uint32_t mask, bool* built) {
  CFileRecord record(&reader);
  record.AttachBuffer(bytes.data(), 1000);
  record.SetAttributeMask(mask);
  *built = record.BuildAttributeLists();
  std::map<uint32_t, int> counts;
  for (uint32_t type = 0x10; type <= 0x100; type += 0x10) {
    if (record.AttributesOf(type).Count() != 0) counts[type] = record.AttributesOf(type).Count();
  }
  return counts;
}

TEST_F(FileRecordTest, AttributeWalkEndsOrFailsOnDamageWithoutLeavingTheRecord) {
  CFileRecord fixer(&m_reader);
  std::vector<uint8_t> clean = m_record;
  ASSERT_TRUE(fixer.ApplyFixups(clean.data()));
  const auto name = ostrin::test::FindAttribute(clean, 0x30);
  const auto data = ostrin::test::FindAttribute(clean, 0x80);
  ASSERT_TRUE(name && data);
  bool built = false;

  // Undamaged, every type the mask asks for.
  std::vector<uint8_t> bytes = clean;
  EXPECT_EQ(BuildCounts(m_reader, bytes, ATTRIBUTE_MASK_SCAN, &built), (std::map<uint32_t, int>{{0x10, 1}, {0x30, 1}, {0x80, 1}}));
  EXPECT_TRUE(built);

  struct Case {
    const char* name;
    std::function<void(std::vector<uint8_t>&)> damage;
    uint32_t mask;
    bool succeeds;
    std::map<uint32_t, int> counts;
  };
  const std::vector<Case> cases = {
      {"zero-length attribute ends the walk", [&](std::vector<uint8_t>& b) { WriteLE<uint32_t>(&b[*name + 4], 0); },
       ATTRIBUTE_MASK_SCAN, true, {{0x10, 1}}},
      {"length too small for any attribute", [&](std::vector<uint8_t>& b) { WriteLE<uint32_t>(&b[*name + 4], 8); },
       ATTRIBUTE_MASK_SCAN, true, {{0x10, 1}}},
      {"attribute running past the record ends the walk", [&](std::vector<uint8_t>& b) { WriteLE<uint32_t>(&b[*data + 4], 0x10000); },
       ATTRIBUTE_MASK_SCAN, true, {{0x10, 1}, {0x30, 1}}},
      {"first attribute outside the record", [](std::vector<uint8_t>& b) { WriteLE<uint16_t>(&b[0x14], 0xFFF0); },
       ATTRIBUTE_MASK_SCAN, false, {}},
      {"type 0x110 fails with every type wanted", [&](std::vector<uint8_t>& b) { WriteLE<uint32_t>(&b[*data], 0x110); },
       ATTRIBUTE_MASK_ALL, false, {{0x10, 1}, {0x30, 1}, {0x50, 1}}},
      {"type 0x110 is skipped by the scan's mask", [&](std::vector<uint8_t>& b) { WriteLE<uint32_t>(&b[*data], 0x110); },
       ATTRIBUTE_MASK_SCAN, true, {{0x10, 1}, {0x30, 1}}},
      {"a type that is no multiple of 0x10 fails", [&](std::vector<uint8_t>& b) { WriteLE<uint32_t>(&b[*data], 0x31); },
       ATTRIBUTE_MASK_SCAN, false, {{0x10, 1}, {0x30, 1}}},
      {"type 0x210 fails the scan's mask", [&](std::vector<uint8_t>& b) { WriteLE<uint32_t>(&b[*data], 0x210); },
       ATTRIBUTE_MASK_SCAN, false, {{0x10, 1}, {0x30, 1}}},
      {"resident value running past its attribute", [&](std::vector<uint8_t>& b) { WriteLE<uint32_t>(&b[*name + 0x10], 0x4000); },
       ATTRIBUTE_MASK_SCAN, false, {{0x10, 1}}},
      {"file name longer than its value", [&](std::vector<uint8_t>& b) {
         b[ostrin::test::ResidentValueOffset(b, *name) + 0x40] = 250;
       },
       ATTRIBUTE_MASK_SCAN, false, {{0x10, 1}}},
  };
  for (const Case& c : cases) {
    bytes = clean;
    c.damage(bytes);
    EXPECT_EQ(BuildCounts(m_reader, bytes, c.mask, &built), c.counts) << c.name;
    EXPECT_EQ(built, c.succeeds) << c.name;
  }
}

// The file names of a record with its attribute lists built, in the order the record holds them, and
// for each whether it lies in the base record (or came in from an extension record).
struct SRecordNames {
  std::vector<std::string> names;
  std::vector<bool> fromBase;
};

SRecordNames NamesOf(CNTFSVolume& reader, uint64_t base) {
  SRecordNames result;
  CFileRecord record(&reader);
  record.SetAttributeMask(ATTRIBUTE_MASK_SCAN);
  EXPECT_TRUE(record.LoadRecord(base) && record.BuildAttributeLists());
  for (const CAttrBase* attribute : record.AttributesOf(0x30)) {
    const auto* name = static_cast<const CAttrFileName*>(attribute);
    WCHAR text[256];
    name->CopyName(text);
    result.names.push_back(WideToUtf8(text));
    result.fromBase.push_back(name->Header() >= record.Buffer() &&
                              name->Header() < record.Buffer() + reader.FileRecordSize());
  }
  return result;
}

TEST(FileRecordListTest, AttributeListsBringInTheNamesOfExtensionRecordsFirstAndOnceEach) {
  // 4096-byte records: an extension record holds several of the file's names.
  const ostrin::test::STestVolume volume = ostrin::test::MadeVolume("attribute-lists-4k");
  CNTFSVolume reader;
  reader.OpenPath(volume.image);
  const uint64_t base = RecordOf(volume, "/names/many.txt");
  const SRecordNames found = NamesOf(reader, base);
  // Every name the maker made, each once (the library's names: no DOS names here).
  std::vector<std::string> expected;
  for (const ostrin::test::SExpectedEntry& entry : volume.expected) {
    if (entry.record == base) expected.push_back(entry.path.substr(entry.path.rfind('/') + 1));
  }
  std::vector<std::string> sortedNames = found.names;
  std::sort(sortedNames.begin(), sortedNames.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(sortedNames, expected);
  // Names moved in from extension records stand before the names of the base record.
  ASSERT_GE(std::count(found.fromBase.begin(), found.fromBase.end(), false), 2)
      << "the maker should have moved names to extension records";
  const auto firstFromBase = std::find(found.fromBase.begin(), found.fromBase.end(), true);
  EXPECT_TRUE(std::all_of(firstFromBase, found.fromBase.end(), [](bool b) { return b; }));
}

TEST(FileRecordListTest, DataExtentsOfExtensionRecordsHoldTheFileClustersOnce) {
  // A badly fragmented file keeps its $DATA in many extents, in extension records: together the
  // extents in the record's data list hold the file's clusters once.
  const ostrin::test::STestVolume volume = ostrin::test::MadeVolume("attribute-lists");
  CNTFSVolume reader;
  reader.OpenPath(volume.image);
  const uint64_t base = RecordOf(volume, "/runs/fragmented.bin");
  CFileRecord record(&reader);
  record.SetAttributeMask(ATTRIBUTE_MASK_SCAN);
  ASSERT_TRUE(record.LoadRecord(base));
  ASSERT_TRUE(record.BuildAttributeLists());
  EXPECT_GE(record.AttributesOf(0x80).Count(), 2);
  const ostrin::test::SExpectedEntry* expected = ostrin::test::FindExpected(volume.expected, "/runs/fragmented.bin");
  EXPECT_EQ(record.GetCompressedAllocation(), *expected->allocated);
}

#if !defined(_WIN32)
// (Linux: compared with sleuthkit's istat.)
TEST(FileRecordListTest, NamesFromExtensionRecordsAreTheOnesIstatLists) {
  const ostrin::test::STestVolume volume = ostrin::test::MadeVolume("attribute-lists-4k");
  CNTFSVolume reader;
  reader.OpenPath(volume.image);
  const uint64_t base = RecordOf(volume, "/names/many.txt");
  const ostrin::test::SIstat istat = ostrin::test::RunIstat(volume.image, base);
  ASSERT_FALSE(istat.attributeList.empty()) << "the maker should have needed an attribute list";
  int namesElsewhere = 0;
  std::map<uint64_t, int> namesPerRecord;
  for (const ostrin::test::SIstatListEntry& entry : istat.attributeList) {
    if (entry.type == 0x30 && entry.record != base) {
      ++namesElsewhere;
      ++namesPerRecord[entry.record];
    }
  }
  // An extension record named by several entries: its names must still come in once each.
  ASSERT_TRUE(std::any_of(namesPerRecord.begin(), namesPerRecord.end(), [](const auto& e) { return e.second >= 2; }));
  const SRecordNames found = NamesOf(reader, base);
  EXPECT_EQ(std::count(found.fromBase.begin(), found.fromBase.end(), false), namesElsewhere);
}

TEST(FileRecordListTest, DataExtentsOfExtensionRecordsAreMovedInOnceEach) {
  // Each extent istat lists is in the record's data list exactly once.
  const ostrin::test::STestVolume volume = ostrin::test::MadeVolume("attribute-lists");
  CNTFSVolume reader;
  reader.OpenPath(volume.image);
  const uint64_t base = RecordOf(volume, "/runs/fragmented.bin");
  const ostrin::test::SIstat istat = ostrin::test::RunIstat(volume.image, base);
  int extents = 0;
  for (const ostrin::test::SIstatListEntry& entry : istat.attributeList) {
    if (entry.type == 0x80) ++extents;
  }
  ASSERT_GE(extents, 2);
  CFileRecord record(&reader);
  record.SetAttributeMask(ATTRIBUTE_MASK_SCAN);
  ASSERT_TRUE(record.LoadRecord(base) && record.BuildAttributeLists());
  EXPECT_EQ(record.AttributesOf(0x80).Count(), extents);
}
#endif

TEST(FileRecordListTest, DamagedAttributeListEntriesEndTheList) {
  const ostrin::test::STestVolume volume = ostrin::test::MadeVolume("attribute-lists");
  const uint64_t base = RecordOf(volume, "/names/many.txt");
  // Where the list's value lies: its first cluster (the list is short and non-resident here).
  uint64_t listOffset = 0;
  {
    CNTFSVolume reader;
    reader.OpenPath(volume.image);
    CFileRecord record(&reader);
    record.SetAttributeMask(AttributeMaskBit(ATTR_TYPE_ATTRIBUTE_LIST));
    ASSERT_TRUE(record.LoadRecord(base));
    ASSERT_TRUE(record.BuildAttributeLists());
    const auto* list = dynamic_cast<const CAttrNonResident*>(record.FirstAttribute(ATTR_TYPE_ATTRIBUTE_LIST));
    ASSERT_NE(list, nullptr) << "expected a non-resident attribute list";
    ASSERT_GE(list->Runs().Count(), 1);
    listOffset = static_cast<uint64_t>((*list->Runs().begin())->lcn) * reader.ClusterSize();
  }
  ostrin::test::CImageCopy copy(volume.image);
  const std::vector<uint8_t> bytes = ostrin::test::ReadRecord(copy, base);
  const std::vector<uint8_t> value = copy.Read(listOffset, 64);
  int ownNames = 0;
  while (ostrin::test::FindAttribute(bytes, 0x30, ownNames)) ++ownNames;
  const int allNames = static_cast<int>(std::count_if(volume.expected.begin(), volume.expected.end(),
                                                      [&](const auto& entry) { return entry.record == base; }));

  struct Case {
    const char* name;
    uint32_t fieldOffset;  // in the value
    std::vector<uint8_t> patch;
    bool endsTheList;      // only the base record's own names remain
  };
  // Entry 0 is the standard information in the base record itself; entry 1 names the next attribute.
  const uint32_t second = ReadLE<uint16_t>(&value[4]);
  ASSERT_EQ(ReadLE<uint32_t>(&value[second]), 0x30u);
  const std::vector<Case> cases = {
      {"zero-length entry", second + 4, LittleEndian(0, 2), true},
      {"entry shorter than its fields", second + 4, LittleEndian(8, 2), true},
      {"entry of type 0", second, LittleEndian(0, 4), true},
      {"entry naming an attribute list elsewhere", second, LittleEndian(0x20, 4), false},
      {"entry naming a record that is not an extension of this one", second + 0x10, LittleEndian(5, 6), false},
  };
  for (const Case& c : cases) {
    ostrin::test::CImageCopy damaged(volume.image);
    damaged.Write(listOffset + c.fieldOffset, c.patch);
    CNTFSVolume reader;
    reader.OpenPath(damaged.Path());
    CFileRecord record(&reader);
    record.SetAttributeMask(ATTRIBUTE_MASK_SCAN);
    ASSERT_TRUE(record.LoadRecord(base)) << c.name;
    EXPECT_TRUE(record.BuildAttributeLists()) << c.name;  // a list that ends early is no failure
    if (c.endsTheList) {
      EXPECT_EQ(record.AttributesOf(0x30).Count(), ownNames) << c.name;
    } else {
      EXPECT_LE(record.AttributesOf(0x30).Count(), allNames) << c.name;
      EXPECT_GE(record.AttributesOf(0x30).Count(), ownNames) << c.name;
    }
  }
}

}  // namespace
