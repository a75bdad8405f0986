// Attributes: values read through their run lists at any offset against sleuthkit's icat, sparse runs,
// run-list decoding of patched mapping pairs, and the upper-case copy of file names.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "common/byte_order.h"
#include "common/text.h"
#include "ntfs/attributes.h"
#include "ntfs/file_record.h"
#include "ntfs/ntfs_volume.h"
#include "tests/ntfs/ntfs_test_util.h"
#include "tests/support/image_file.h"
#include "tests/support/record_patch.h"
#include "tests/support/made_volume.h"

namespace {

uint64_t RecordOf(const ostrin::test::STestVolume& volume, const std::string& path) {
  const ostrin::test::SExpectedEntry* entry = ostrin::test::FindExpected(volume.expected, path);
  EXPECT_NE(entry, nullptr) << path;
  return entry != nullptr ? entry->record : 0;
}

// The unnamed data attribute of a loaded record.
CAttrBase* UnnamedData(CFileRecord& record) {
  for (CAttrBase* attribute : record.AttributesOf(ATTR_TYPE_DATA)) {
    if (attribute->NameLength() == 0) return attribute;
  }
  return nullptr;
}

std::string ReadAt(CAttrBase& attribute, uint64_t offset, uint32_t length, bool* ok) {
  std::string bytes(length, '\0');
  uint32_t got = 0;
  *ok = attribute.ReadValue(offset, bytes.data(), length, &got);
  bytes.resize(got);
  return bytes;
}

#if !defined(_WIN32)
// (Linux: compared with sleuthkit's icat.)
struct ValueCase {
  const char* volume;
  const char* path;
};

class ValueTest : public ::testing::TestWithParam<ValueCase> {};

TEST_P(ValueTest, ValuesReadAtAnyOffsetMatchIcat) {
  const ostrin::test::STestVolume volume = ostrin::test::MadeVolume(GetParam().volume);
  CNTFSVolume reader;
  reader.OpenPath(volume.image);
  const uint64_t number = RecordOf(volume, GetParam().path);
  CFileRecord record(&reader);
  record.SetAttributeMask(ATTRIBUTE_MASK_SCAN);
  ASSERT_TRUE(record.LoadRecord(number));
  ASSERT_TRUE(record.BuildAttributeLists());
  CAttrBase* data = UnnamedData(record);
  ASSERT_NE(data, nullptr);
  const std::string reference = ostrin::test::IcatBytes(volume.image, std::to_string(number));
  ASSERT_EQ(data->GetValueSize(), reference.size());

  const uint64_t size = reference.size();
  const uint64_t cluster = reader.ClusterSize();
  // Whole value, and pieces that start and end inside clusters, across cluster borders and at the end.
  std::vector<std::pair<uint64_t, uint32_t>> pieces = {{0, static_cast<uint32_t>(size)}, {0, 1}, {1, 10}};
  if (size > cluster) pieces.push_back({cluster - 4, 10});
  if (size > 3 * cluster) pieces.push_back({cluster + 7, static_cast<uint32_t>(2 * cluster)});
  if (size > 10) pieces.push_back({size - 10, 100});  // cut at the end of the value
  for (const auto& [offset, length] : pieces) {
    bool ok = false;
    const std::string got = ReadAt(*data, offset, length, &ok);
    ASSERT_TRUE(ok) << "offset " << offset << " length " << length;
    const size_t expectedLength = std::min<uint64_t>(length, size - offset);
    EXPECT_EQ(got.size(), expectedLength) << "offset " << offset;
    EXPECT_TRUE(got == reference.substr(offset, expectedLength)) << "offset " << offset << " length " << length;
  }
  // At the end of the value: nothing to read, which is no failure for clusters and is for a resident
  // value; past the end: a failure.
  bool ok = false;
  EXPECT_EQ(ReadAt(*data, size, 4, &ok), "");
  EXPECT_EQ(ok, data->IsNonResident());
  ReadAt(*data, size + 1, 4, &ok);
  EXPECT_FALSE(ok);
  // A resident offset of 4 GiB + 1 is past the end, not byte 1.
  ReadAt(*data, (uint64_t{1} << 32) + 1, 4, &ok);
  EXPECT_FALSE(ok);
}

INSTANTIATE_TEST_SUITE_P(
    MadeVolumes, ValueTest,
    ::testing::Values(ValueCase{"geometry-s4096-c64k", "/docs/resident.txt"},
                      ValueCase{"geometry-s4096-c64k", "/docs/clusters-and-a-bit.bin"},
                      ValueCase{"geometry-s512-c512", "/docs/clusters-and-a-bit.bin"},
                      ValueCase{"geometry-s512-c4k", "/docs/big.bin"},
                      ValueCase{"sparse-and-compressed", "/sparse/scattered.bin"},
                      ValueCase{"sparse-and-compressed", "/sparse/tail.bin"},
                      ValueCase{"attribute-lists", "/runs/small-fragmented.bin"}),
    [](const ::testing::TestParamInfo<ValueCase>& info) {
      std::string name = std::string(info.param.volume) + info.param.path;
      for (char& c : name) c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
      return name;
    });

#endif

TEST(SparseTest, HolesReadAsZerosAndAreNotCountedAsStored) {
  const ostrin::test::STestVolume volume = ostrin::test::MadeVolume("sparse-and-compressed");
  CNTFSVolume reader;
  reader.OpenPath(volume.image);
  CFileRecord record(&reader);
  record.SetAttributeMask(ATTRIBUTE_MASK_SCAN);
  ASSERT_TRUE(record.LoadRecord(RecordOf(volume, "/sparse/holes-only.bin")));
  ASSERT_TRUE(record.BuildAttributeLists());
  auto* data = dynamic_cast<CAttrNonResident*>(UnnamedData(record));
  ASSERT_NE(data, nullptr);
  ASSERT_GE(data->Runs().Count(), 1);
  for (const tagDataRun_Entry* run : data->Runs()) EXPECT_EQ(run->lcn, SPARSE_RUN_LCN);
  EXPECT_EQ(data->StoredBytes(), 0u);
  // Clusters in the middle of a sparse run read as zeros.
  bool ok = false;
  const std::string middle = ReadAt(*data, 3 * 1024 * 1024 + 17, 9000, &ok);
  EXPECT_TRUE(ok);
  EXPECT_EQ(middle, std::string(9000, '\0'));
}

TEST(SparseTest, StoredClustersAreWhatTheHeaderSaysIsStored) {
  // A sparse or compressed attribute's header carries the bytes it stores; the runs must say the same.
  const ostrin::test::STestVolume volume = ostrin::test::MadeVolume("sparse-and-compressed");
  CNTFSVolume reader;
  reader.OpenPath(volume.image);
  for (const char* path : {"/sparse/holes-only.bin", "/sparse/head.bin", "/sparse/tail.bin", "/sparse/scattered.bin",
                           "/compressed/text.txt", "/compressed/random.bin", "/compressed/zeros.bin"}) {
    CFileRecord record(&reader);
    record.SetAttributeMask(ATTRIBUTE_MASK_SCAN);
    ASSERT_TRUE(record.LoadRecord(RecordOf(volume, path)) && record.BuildAttributeLists()) << path;
    const auto* data = dynamic_cast<const CAttrNonResident*>(UnnamedData(record));
    ASSERT_NE(data, nullptr) << path;
    ASSERT_NE(data->Flags() & (ATTRIBUTE_FLAG_SPARSE | ATTRIBUTE_FLAG_COMPRESSED), 0) << path;
    EXPECT_EQ(data->StoredBytes(), READ_FIELD(STORED_NONRESIDENT_ATTRIBUTE_HEADER, compressedSize, data->Header())) << path;
  }
}

#if !defined(_WIN32)
// (Linux: compared with sleuthkit's icat.)
TEST(SparseTest, BytesPastTheInitializedSizeReadAsZeros) {
  // NTFS leaves the clusters past the initialized size undefined: whatever they hold, they read as zeros.
  const ostrin::test::STestVolume volume = ostrin::test::MadeVolume("sparse-and-compressed");
  CNTFSVolume reader;
  reader.OpenPath(volume.image);
  const uint64_t number = RecordOf(volume, "/plain/reference.bin");
  const std::string reference = ostrin::test::IcatBytes(volume.image, std::to_string(number));
  std::vector<uint8_t> bytes = ostrin::test::ReadRecord(ostrin::test::CImageCopy(volume.image), number);
  const auto data = ostrin::test::FindAttribute(bytes, ATTR_TYPE_DATA);
  ASSERT_TRUE(data.has_value());
  constexpr uint64_t INITIALIZED = 50001;
  WriteLE<uint64_t>(&bytes[*data + 0x38], INITIALIZED);
  CFileRecord owner(&reader);
  owner.AttachBuffer(bytes.data(), number);
  CAttrNonResident attribute(&bytes[*data], &owner);
  ASSERT_LT(INITIALIZED, reference.size());

  const std::string stored = reference.substr(0, INITIALIZED) + std::string(reference.size() - INITIALIZED, '\0');
  for (const auto& [offset, length] : std::vector<std::pair<uint64_t, uint32_t>>{
           {0, static_cast<uint32_t>(reference.size())}, {INITIALIZED - 10, 20}, {INITIALIZED, 7}, {60000, 9000}}) {
    bool ok = false;
    EXPECT_EQ(ReadAt(attribute, offset, length, &ok), stored.substr(offset, length)) << "offset " << offset;
    EXPECT_TRUE(ok);
  }
  // The read that several threads may make at once gives the same bytes.
  std::string piece(100, 'x');
  CAttrNonResident::EReadFault fault = CAttrNonResident::EReadFault::DeviceError;
  EXPECT_TRUE(attribute.ReadStored(INITIALIZED - 50, piece.data(), 100, &fault));
  EXPECT_EQ(fault, CAttrNonResident::EReadFault::None);
  EXPECT_EQ(piece, stored.substr(INITIALIZED - 50, 100));
}

#endif

using DataRun = std::tuple<int64_t, uint64_t, uint64_t, uint64_t>;

// A non-resident attribute of a record copy whose mapping pairs a test rewrites.
class RunListTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // A file of 40 fragments: its run list leaves room for the lists the cases write.
    m_volume = ostrin::test::MadeVolume("attribute-lists");
    m_reader.OpenPath(m_volume.image);
    const ostrin::test::CImageCopy copy(m_volume.image);
    m_record = ostrin::test::ReadRecord(copy, RecordOf(m_volume, "/runs/small-fragmented.bin"));
    const auto data = ostrin::test::FindAttribute(m_record, ATTR_TYPE_DATA);
    ASSERT_TRUE(data.has_value());
    ASSERT_NE(m_record[*data + 8], 0) << "expected non-resident data";
    m_data = *data;
  }

  // Decodes the given mapping pairs, with the attribute claiming VCNs 0 to lastVcn.
  std::unique_ptr<CAttrNonResident> Decode(const std::vector<uint8_t>& pairs, uint64_t lastVcn) {
    m_bytes = m_record;
    const uint16_t runsOffset = ReadLE<uint16_t>(&m_bytes[m_data + 0x20]);
    const uint32_t length = ReadLE<uint32_t>(&m_bytes[m_data + 4]);
    EXPECT_LE(runsOffset + pairs.size(), length);
    std::copy(pairs.begin(), pairs.end(), m_bytes.begin() + m_data + runsOffset);
    WriteLE<uint64_t>(&m_bytes[m_data + 0x18], lastVcn);
    m_owner = std::make_unique<CFileRecord>(&m_reader);
    m_owner->AttachBuffer(m_bytes.data(), 1000);
    return std::make_unique<CAttrNonResident>(&m_bytes[m_data], m_owner.get());
  }

  // Each run as (LCN, clusters, first VCN, last VCN).
  static std::vector<DataRun> RunsOf(const CAttrNonResident& attribute) {
    std::vector<DataRun> runs;
    for (const tagDataRun_Entry* run : attribute.Runs()) runs.emplace_back(run->lcn, run->clusters, run->startVcn, run->lastVcn);
    return runs;
  }

  ostrin::test::STestVolume m_volume;
  CNTFSVolume m_reader;
  std::vector<uint8_t> m_record;
  std::vector<uint8_t> m_bytes;
  std::unique_ptr<CFileRecord> m_owner;
  uint32_t m_data = 0;
};

TEST_F(RunListTest, MappingPairsDecodeIntoRuns) {
  struct Case {
    const char* name;
    std::vector<uint8_t> pairs;
    uint64_t lastVcn;
    bool valid;
    std::vector<DataRun> runs;
  };
  const std::vector<Case> cases = {
      {"count byte and a two-byte LCN", {0x21, 0x05, 0x34, 0x12, 0x00}, 4, true, {{0x1234, 5, 0, 4}}},
      {"a negative offset moves the LCN back",
       {0x21, 0x05, 0x34, 0x12, 0x11, 0x03, 0xF0, 0x00}, 7, true, {{0x1234, 5, 0, 4}, {0x1224, 3, 5, 7}}},
      {"no offset bytes: a sparse run", {0x21, 0x02, 0x00, 0x01, 0x01, 0x08, 0x00}, 9, true,
       {{0x100, 2, 0, 1}, {SPARSE_RUN_LCN, 8, 2, 9}}},
      {"nine length bytes end the list", {0x21, 0x02, 0x00, 0x01, 0x09, 0xFF}, 9, true, {{0x100, 2, 0, 1}}},
      {"runs past the VCN range: none is trusted", {0x21, 0x05, 0x34, 0x12, 0x11, 0x03, 0xF0, 0x00}, 5, false, {}},
      {"LCN below cluster 0", {0x21, 0x02, 0x00, 0x01, 0x22, 0x02, 0x00, 0x00, 0xF0, 0x00}, 9, false, {{0x100, 2, 0, 1}}},
      {"a run of no clusters", {0x21, 0x00, 0x00, 0x01, 0x00}, 9, false, {}},
  };
  for (const Case& c : cases) {
    const auto attribute = Decode(c.pairs, c.lastVcn);
    EXPECT_EQ(attribute->HasValidRuns(), c.valid) << c.name;
    EXPECT_EQ(RunsOf(*attribute), c.runs) << c.name;
  }
}

TEST_F(RunListTest, ARunListWithoutItsEndStaysInsideTheAttribute) {
  // Fill everything from the mapping pairs to the end of the attribute with run headers that never
  // end; the decoder must stop at the attribute's end (the sanitizers watch every read).
  const uint16_t runsOffset = ReadLE<uint16_t>(&m_record[m_data + 0x20]);
  const uint32_t length = ReadLE<uint32_t>(&m_record[m_data + 4]);
  std::vector<uint8_t> pairs;
  while (pairs.size() + 2 <= length - runsOffset) pairs.insert(pairs.end(), {0x01, 0x01});
  const auto attribute = Decode(pairs, 1000000);
  EXPECT_FALSE(attribute->HasValidRuns());
}

TEST_F(RunListTest, ARunOfMoreBytesThanSixtyFourBitsCountIsReadLikeAnyOther) {
  // A run of 2^64 bytes: its byte length wrapped to 0, and a read from a cluster's start never moved on.
  const uint32_t clusterSize = m_reader.ClusterSize();
  const uint64_t clusters = uint64_t{1} << (64 - std::countr_zero(clusterSize));
  std::vector<uint8_t> pairs{0x18};
  for (int i = 0; i < 8; ++i) pairs.push_back(static_cast<uint8_t>(clusters >> (8 * i)));
  pairs.insert(pairs.end(), {0x01, 0x00});  // at LCN 1
  const auto read = [&](const std::vector<uint8_t>& runs, uint64_t lastVcn) {
    const auto attribute = Decode(runs, lastVcn);
    EXPECT_TRUE(attribute->HasValidRuns());
    for (const size_t field : {0x28, 0x30, 0x38}) WriteLE<uint64_t>(&m_bytes[m_data + field], 3ull * clusterSize);
    auto bytes = std::make_shared<std::vector<uint8_t>>(2 * clusterSize);
    // The read runs on a thread of its own: one that never ends fails the program at once.
    auto done = std::make_shared<std::promise<bool>>();
    std::future<bool> result = done->get_future();
    std::thread([attribute = attribute.get(), bytes, done] {
      uint32_t got = 0;
      done->set_value(attribute->ReadValue(0, bytes->data(), static_cast<uint32_t>(bytes->size()), &got) &&
                      got == bytes->size());
    }).detach();
    if (result.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
      std::fprintf(stderr, "the read of a run of 2^64 bytes did not end\n");
      std::_Exit(1);
    }
    EXPECT_TRUE(result.get());
    return *bytes;
  };
  EXPECT_EQ(read(pairs, clusters - 1), read({0x11, 0x03, 0x01, 0x00}, 2));
}

TEST(FileNameTest, UpperCaseCopyChangesOnlyAsciiLetters) {
  const ostrin::test::STestVolume volume = ostrin::test::MadeVolume("links-and-names");
  CNTFSVolume reader;
  reader.OpenPath(volume.image);
  CFileRecord record(&reader);
  record.SetAttributeMask(ATTRIBUTE_MASK_SCAN);
  ASSERT_TRUE(record.LoadRecord(RecordOf(volume, "/case/readme")));
  ASSERT_TRUE(record.BuildAttributeLists());
  const auto* name = static_cast<const CAttrFileName*>(record.FirstAttribute(ATTR_TYPE_FILE_NAME));
  ASSERT_NE(name, nullptr);
  EXPECT_EQ(WString(name->UpperName()), WTEXT("README"));
  EXPECT_EQ(name->UpperNameLength(), 6u);
  WCHAR stored[256];
  EXPECT_EQ(name->CopyName(stored), 6u);
  EXPECT_EQ(WString(stored), WTEXT("readme"));
}

}  // namespace
