// Volumes made by ostrin-mkvol from tests/volumes: every EXPECTED listing agrees with sleuthkit, and
// each manifest theme produced the on-disk structure it is there for (checked with istat).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>

#include "tests/support/image_file.h"
#include "tests/support/run_program.h"
#include "tests/support/sleuthkit_oracle.h"
#include "tests/support/test_volume.h"
#include "tools/mkvol/manifest.h"

namespace ostrin::test {
namespace {

constexpr uint32_t ATTR_READONLY = 0x1, ATTR_HIDDEN = 0x2, ATTR_SYSTEM = 0x4, ATTR_ARCHIVE = 0x20;
constexpr uint32_t ATTR_SPARSE = 0x200, ATTR_COMPRESSED = 0x800;
constexpr uint32_t TYPE_FILE_NAME = 0x30, TYPE_DATA = 0x80;

std::map<std::string, SExpectedEntry> ByPath(const std::vector<SExpectedEntry>& entries) {
  std::map<std::string, SExpectedEntry> map;
  for (const SExpectedEntry& e : entries) map.emplace(e.path, e);
  return map;
}

const SExpectedEntry& Get(const STestVolume& v, const std::string& path) {
  const SExpectedEntry* e = FindExpected(v.expected, path);
  if (!e) throw std::runtime_error(path + " is not in the listing of " + v.listing);
  return *e;
}

uint64_t Time(const char* text) { return *ostrin::mkvol::ParseTime(text); }

std::vector<std::string> VolumeManifests() {
  std::vector<std::string> names;
  for (const std::string& name : ListTestVolumeManifests()) {
    if (name.rfind("bench-", 0) != 0) names.push_back(name);
  }
  return names;
}

class MadeVolumeTest : public ::testing::TestWithParam<std::string> {};

// The maker's listing and sleuthkit's fls name the same entries with the same records, kinds, sizes
// and (whole-second) times. This checks the maker and the oracle against each other.
TEST_P(MadeVolumeTest, ListingAgreesWithSleuthkit) {
  const STestVolume v = MakeTestVolume(GetParam());
  const std::map<std::string, SExpectedEntry> expected = ByPath(WithoutDosNames(v.expected));
  std::map<std::string, SFlsEntry> fls;
  for (const SFlsEntry& e : UserEntries(RunFls(v.image))) {
    EXPECT_TRUE(fls.emplace(e.path, e).second) << "fls lists " << e.path << " twice";
  }
  std::set<std::string> expectedPaths, flsPaths;
  for (const auto& [path, e] : expected) expectedPaths.insert(path);
  for (const auto& [path, e] : fls) flsPaths.insert(path);
  EXPECT_EQ(expectedPaths, flsPaths);

  for (const auto& [path, e] : expected) {
    const auto it = fls.find(path);
    if (it == fls.end()) continue;
    const SFlsEntry& f = it->second;
    EXPECT_EQ(f.record, e.record) << path;
    EXPECT_EQ(f.nameType == 'd', e.isDirectory) << path;
    if (!e.isDirectory) {
      EXPECT_EQ(f.hasUnnamedData, e.size.has_value()) << path;
      if (e.size) {
        EXPECT_EQ(f.size, *e.size) << path;
      }
    }
    EXPECT_EQ(f.created, FileTimeToUnixSeconds(e.created)) << path;
    EXPECT_EQ(f.written, FileTimeToUnixSeconds(e.written)) << path;
    EXPECT_EQ(f.accessed, FileTimeToUnixSeconds(e.accessed)) << path;
  }
}

INSTANTIATE_TEST_SUITE_P(EveryManifest, MadeVolumeTest, ::testing::ValuesIn(VolumeManifests()),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                           std::string name = info.param;
                           std::replace(name.begin(), name.end(), '-', '_');
                           return name;
                         });

TEST(MadeVolumesTest, GeometryFollowsTheManifest) {
  for (const std::string& name : VolumeManifests()) {
    unsigned sector = 0, clusterValue = 0;
    char unit[4] = {};
    if (std::sscanf(name.c_str(), "geometry-s%u-c%u%3s", &sector, &clusterValue, unit) < 2) continue;
    const uint32_t cluster = clusterValue * (std::string(unit) == "k" ? 1024 : 1);
    const STestVolume v = MakeTestVolume(name);
    const SBootGeometry g = ReadBootGeometry(v.image);
    EXPECT_EQ(g.bytesPerSector, sector) << name;
    EXPECT_EQ(g.clusterSize, cluster) << name;
    EXPECT_EQ(g.fileRecordSize, sector == 512 ? 1024u : 4096u) << name;
    const SExpectedEntry& big = Get(v, "/docs/big.bin");
    EXPECT_EQ(big.size, 1u << 20) << name;
    EXPECT_EQ(big.allocated, (uint64_t{1 << 20} + cluster - 1) / cluster * cluster) << name;
    EXPECT_EQ(Get(v, "/docs/resident.txt").allocated, 300u) << name;  // resident: the value length
    EXPECT_EQ(Get(v, "/docs/clusters-and-a-bit.bin").allocated, 4u * cluster) << name;
    const SExpectedEntry& leaf = Get(v, "/docs/deep/a/b/c/d/leaf.txt");
    EXPECT_EQ(leaf.created, Time("2001-09-09T01:46:40")) << name;
    EXPECT_EQ(leaf.written, Time("2019-12-31T23:59:59.9999999")) << name;
    EXPECT_EQ(leaf.accessed, Time("2038-01-19T03:14:08")) << name;
  }
}

TEST(MadeVolumesTest, LinksAndNames) {
  const STestVolume v = MakeTestVolume("links-and-names");
  const SExpectedEntry& shared = Get(v, "/a/shared.txt");
  const SExpectedEntry& elsewhere = Get(v, "/b/shared-elsewhere.txt");
  EXPECT_EQ(shared.record, elsewhere.record);
  EXPECT_NE(shared.parent, elsewhere.parent);
  EXPECT_EQ(shared.links, 2u);
  EXPECT_EQ(Get(v, "/a/twice.txt").record, Get(v, "/a/twice-again.txt").record);
  EXPECT_EQ(Get(v, "/a/twice.txt").parent, Get(v, "/a/twice-again.txt").parent);

  struct NameCase {
    const char* path;
    uint8_t nameSpace;
  };
  const NameCase names[] = {
      {"/a/Long File Name.txt", 1}, {"/a/LONGFI~1.TXT", 2}, {"/a/SHORT.TXT", 3}, {"/a/win32-only.txt", 1},
      {"/a/shared.txt", 0},         {"/a/Program Files", 1}, {"/a/PROGRA~1", 2},  {"/case/Readme", 0},
      {"/case/README", 0},          {"/case/readme", 0},
  };
  for (const NameCase& c : names) EXPECT_EQ(Get(v, c.path).nameSpace, c.nameSpace) << c.path;
  EXPECT_EQ(Get(v, "/a/Long File Name.txt").record, Get(v, "/a/LONGFI~1.TXT").record);
  // Children of a directory with a DOS name are listed under its long name only.
  EXPECT_NE(FindExpected(v.expected, "/a/Program Files/app.exe"), nullptr);
  EXPECT_EQ(FindExpected(v.expected, "/a/PROGRA~1/app.exe"), nullptr);

  std::set<uint64_t> records;
  for (const char* path : {"/case/Readme", "/case/README", "/case/readme", "/x/same/name.txt", "/y/same/name.txt",
                           "/z/same/name.txt"}) {
    records.insert(Get(v, path).record);
  }
  EXPECT_EQ(records.size(), 6u);
  EXPECT_TRUE(Get(v, "/case/Sub").isDirectory);
  EXPECT_NE(Get(v, "/case/Sub").record, Get(v, "/case/sub").record);
  EXPECT_EQ(Get(v, "/deep/l1/l2/l3/l4/l5/l6/l7/l8/l9/l10/l11/l12/l13/l14/l15/l16/l17/l18/l19/l20/bottom.txt").size, 7u);

  const uint32_t settable = ATTR_READONLY | ATTR_HIDDEN | ATTR_SYSTEM | ATTR_ARCHIVE;
  EXPECT_EQ(Get(v, "/attrs/readonly.txt").attributes & settable, ATTR_READONLY);
  EXPECT_EQ(Get(v, "/attrs/hidden-system.txt").attributes & settable, ATTR_HIDDEN | ATTR_SYSTEM);
  EXPECT_EQ(Get(v, "/attrs/plain.txt").attributes & settable, 0u);
  const SExpectedEntry& hiddenDir = Get(v, "/attrs/hidden-dir");
  EXPECT_EQ(hiddenDir.attributes & settable, ATTR_HIDDEN);
  EXPECT_EQ(hiddenDir.created, Time("1999-12-31T23:59:59"));
  EXPECT_EQ(hiddenDir.written, Time("2000-01-01T00:00:00.0000001"));
  EXPECT_EQ(hiddenDir.accessed, Time("2000-01-01T00:00:01"));
}

TEST(MadeVolumesTest, NamedStreams) {
  const STestVolume v = MakeTestVolume("streams");
  EXPECT_EQ(Get(v, "/with-streams.txt").streams, 2u);
  EXPECT_EQ(Get(v, "/with-streams.txt").size, 10u);
  EXPECT_EQ(Get(v, "/big-with-stream.bin").streams, 1u);
  for (const char* path : {"/only-stream.dat", "/only-small-stream.dat"}) {
    EXPECT_FALSE(Get(v, path).size.has_value()) << path;
    EXPECT_EQ(Get(v, path).streams, 1u) << path;
  }
  EXPECT_FALSE(Get(v, "/nothing.dat").size.has_value());
  EXPECT_EQ(Get(v, "/nothing.dat").streams, 0u);

  std::map<std::string, uint64_t> streamSizes;
  for (const SFlsEntry& f : RunFls(v.image)) {
    if (!f.stream.empty()) streamSizes[f.path + ":" + f.stream] = f.size;
  }
  EXPECT_EQ(streamSizes["/with-streams.txt:Zone.Identifier"], 26u);
  EXPECT_EQ(streamSizes["/with-streams.txt:big"], 200000u);
  EXPECT_EQ(streamSizes["/only-stream.dat:payload"], 4096u);
  EXPECT_EQ(streamSizes["/dir/inner.txt:alt"], 1u);
}

TEST(MadeVolumesTest, SparseAndCompressedFiles) {
  const STestVolume v = MakeTestVolume("sparse-and-compressed");
  struct Case {
    const char* path;
    uint64_t size;
    uint32_t flag;
    const char* istatKind;  // how istat describes the unnamed $DATA
  };
  const Case cases[] = {
      {"/sparse/holes-only.bin", 8u << 20, ATTR_SPARSE, "Non-Resident, Sparse"},
      {"/sparse/head.bin", 4u << 20, ATTR_SPARSE, "Non-Resident, Sparse"},
      {"/sparse/tail.bin", 4u << 20, ATTR_SPARSE, "Non-Resident, Sparse"},
      {"/sparse/scattered.bin", 10u << 20, ATTR_SPARSE, "Non-Resident, Sparse"},
      {"/compressed/text.txt", 300000, ATTR_COMPRESSED, "Non-Resident, Compressed"},
      {"/compressed/random.bin", 100000, ATTR_COMPRESSED, "Non-Resident, Compressed"},
      {"/compressed/zeros.bin", 200000, ATTR_COMPRESSED, "Non-Resident, Compressed"},
      {"/compressed/one-unit.txt", 65536, ATTR_COMPRESSED, "Non-Resident, Compressed"},
  };
  for (const Case& c : cases) {
    const SExpectedEntry& e = Get(v, c.path);
    EXPECT_EQ(e.size, c.size) << c.path;
    EXPECT_TRUE(e.attributes & c.flag) << c.path;
    const SIstat istat = RunIstat(v.image, e.record);
    EXPECT_NE(istat.text.find(std::string("$DATA (128-") ), std::string::npos) << c.path;
    EXPECT_NE(istat.text.find(c.istatKind), std::string::npos) << c.path << "\n" << istat.text;
  }
  // A sparse file reports the clusters it stores, as sleuthkit counts them: the holes take no space.
  for (const char* path : {"/sparse/holes-only.bin", "/sparse/head.bin", "/sparse/tail.bin", "/sparse/scattered.bin"}) {
    EXPECT_EQ(*Get(v, path).allocated, RunIstat(v.image, Get(v, path).record).storedClusters * 4096) << path;
  }
  EXPECT_EQ(Get(v, "/sparse/holes-only.bin").allocated, 0u);
  EXPECT_EQ(Get(v, "/sparse/scattered.bin").allocated, (1u + 2 + 16 + 1) * 4096);
  // A compressed file reports the clusters it actually stores: far fewer for text, none for zeros.
  EXPECT_LT(*Get(v, "/compressed/text.txt").allocated, 300000u / 4);
  EXPECT_EQ(Get(v, "/compressed/zeros.bin").allocated, 0u);
  EXPECT_GE(*Get(v, "/compressed/random.bin").allocated, 100000u);
  EXPECT_EQ(Get(v, "/compressed/small.txt").allocated, 100u);  // resident: the value length
  EXPECT_EQ(Get(v, "/plain/reference.bin").attributes & (ATTR_SPARSE | ATTR_COMPRESSED), 0u);
}

TEST(MadeVolumesTest, AttributeLists) {
  const STestVolume v = MakeTestVolume("attribute-lists");
  // Thirteen names, most of 200 characters: FILE_NAME attributes live in extension records.
  const SExpectedEntry& many = Get(v, "/names/many.txt");
  const auto names = std::count_if(v.expected.begin(), v.expected.end(),
                                   [&](const SExpectedEntry& e) { return e.record == many.record; });
  EXPECT_EQ(names, 13);
  EXPECT_EQ(many.links, 13u);
  const SIstat manyIstat = RunIstat(v.image, many.record);
  std::set<uint64_t> nameRecords;
  for (const SIstatListEntry& a : manyIstat.attributeList) {
    if (a.type == TYPE_FILE_NAME) nameRecords.insert(a.record);
  }
  EXPECT_GE(nameRecords.size(), 3u) << manyIstat.text;
  EXPECT_TRUE(RunIstat(v.image, Get(v, "/names/few.txt").record).attributeList.empty());

  // 900 one-cluster runs: the unnamed $DATA is split into extents in several extension records.
  const SExpectedEntry& fragmented = Get(v, "/runs/fragmented.bin");
  EXPECT_EQ(fragmented.size, 900u * 4096);
  const SIstat istat = RunIstat(v.image, fragmented.record);
  std::set<uint64_t> dataRecords;
  size_t dataExtents = 0;
  for (const SIstatListEntry& a : istat.attributeList) {
    if (a.type == TYPE_DATA) {
      ++dataExtents;
      dataRecords.insert(a.record);
    }
  }
  EXPECT_GE(dataExtents, 3u) << istat.text;
  EXPECT_GE(dataRecords.size(), 3u) << istat.text;
}

TEST(MadeVolumesTest, FragmentedMftHasAnAttributeListInRecordZero) {
  const STestVolume v = MakeTestVolume("fragmented-mft");
  const SIstat mft = RunIstat(v.image, 0);
  std::set<uint64_t> extensionRecords;
  size_t dataExtents = 0;
  for (const SIstatListEntry& a : mft.attributeList) {
    if (a.type != TYPE_DATA) continue;
    ++dataExtents;
    if (a.record != 0) extensionRecords.insert(a.record);
  }
  EXPECT_GE(dataExtents, 3u) << mft.text;
  EXPECT_GE(extensionRecords.size(), 2u) << mft.text;
  // Hundreds of runs: ntfsinfo (another reader of the same library) prints the run list.
  const SProgramResult info = RunProgram({"ntfsinfo", "-i", "0", "-v", v.image});
  ASSERT_EQ(info.exitCode, 0) << info.err;
  size_t runs = 0;
  bool inData = false;
  std::istringstream lines(info.out);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.rfind("Dumping attribute", 0) == 0) inData = line.find("$DATA") != std::string::npos;
    unsigned long long vcn = 0, lcn = 0, length = 0;
    if (inData && std::sscanf(line.c_str(), " 0x%llx 0x%llx 0x%llx", &vcn, &lcn, &length) == 3) ++runs;
  }
  EXPECT_GE(runs, 700u);
  EXPECT_EQ(Get(v, "/after/nonresident.bin").size, 50000u);
  const auto grown = std::count_if(v.expected.begin(), v.expected.end(),
                                   [](const SExpectedEntry& e) { return e.path.rfind("/grow/", 0) == 0; });
  EXPECT_GT(grown, 700);
}

TEST(MadeVolumesTest, DeletedEntriesAreNotListed) {
  const STestVolume v = MakeTestVolume("deleted");
  for (const char* path : {"/gone", "/gone/file.txt", "/gone/sub", "/gone/sub/deeper/x.txt", "/keep/deleted.txt",
                           "/keep/second-name.txt", "/keep/empty-after-delete/temp.txt"}) {
    EXPECT_EQ(FindExpected(v.expected, path), nullptr) << path;
  }
  EXPECT_EQ(Get(v, "/keep/linked.txt").links, 1u);
  EXPECT_EQ(Get(v, "/keep/reborn.txt").size, 40u);
  EXPECT_TRUE(Get(v, "/keep/empty-after-delete").isDirectory);
  // The removed entries were really made: sleuthkit still finds their deleted names.
  const SProgramResult deleted = RunProgram({"fls", "-r", "-p", "-d", v.image});
  ASSERT_EQ(deleted.exitCode, 0) << deleted.err;
  EXPECT_NE(deleted.out.find("gone"), std::string::npos) << deleted.out;
}

TEST(MadeVolumesTest, UnicodeNames) {
  const STestVolume v = MakeTestVolume("unicode");
  for (const char* path : {"/ünïcödé/café.txt", "/ünïcödé/cafe\u0301.txt", "/Ελληνικά/αρχείο.txt", "/日本語/ファイル名.txt",
                           "/עברית/קובץ.txt", "/emoji/😀🎉.txt", "/emoji/𝄞 music.txt", "/spaces and dots/a b . c.txt"}) {
    EXPECT_NE(FindExpected(v.expected, path), nullptr) << path;
  }
  EXPECT_NE(Get(v, "/ünïcödé/café.txt").record, Get(v, "/ünïcödé/cafe\u0301.txt").record);
}

TEST(MadeVolumesTest, EmptyVolumeHasNoUserEntries) {
  const STestVolume v = MakeTestVolume("empty");
  EXPECT_TRUE(v.expected.empty());
  EXPECT_TRUE(UserEntries(RunFls(v.image)).empty());
}

TEST(MadeVolumesTest, BulkGeneratorMakesTheTree) {
  const STestVolume v = MakeTestVolume("bulk-small");
  size_t dirs = 0, files = 0;
  for (const SExpectedEntry& e : v.expected) {
    if (e.path.rfind("/bulk/", 0) != 0) continue;
    (e.isDirectory ? dirs : files)++;
  }
  EXPECT_EQ(dirs, 40u);
  EXPECT_EQ(files, 1500u);
  EXPECT_NE(FindExpected(v.expected, "/bulk/d0000/f000000.dat"), nullptr);
  EXPECT_NE(FindExpected(v.expected, "/after-bulk.txt"), nullptr);
}

TEST(MakerTest, RefusesABadManifestAndLeavesNoOutput) {
  const std::string dir = ::testing::TempDir();
  const std::string manifest = dir + "/bad.manifest", image = dir + "/bad.img", listing = dir + "/bad.expected";
  struct Case {
    const char* text;
    const char* message;
  };
  const Case cases[] = {
      {"volume size=8M\nfile /a size=1\nfile /a size=2\n", "line 3: /a exists already"},
      {"volume size=8M\nlink /missing /b\n", "line 2: link target /missing is not a file"},
      {"volume size=8M\nfile /f\nfile /f/g\n", "f is a file, not a directory"},
      {"volume size=8M\ndelete /nothing\n", "/nothing does not exist"},
      {"volume size=8M\nfile /big size=100M\n", "No space left on device"},
      {"volume size=8M\nfile /x nosuchoption\n", "unknown option"},
  };
  for (const Case& c : cases) {
    std::ofstream(manifest) << c.text;
    const SProgramResult result = RunProgram({OSTRIN_MKVOL_PATH, manifest, image, listing});
    EXPECT_EQ(result.exitCode, 1) << c.text;
    EXPECT_NE(result.err.find(c.message), std::string::npos) << c.text << " gave: " << result.err;
    EXPECT_FALSE(std::filesystem::exists(image)) << c.text;
    EXPECT_FALSE(std::filesystem::exists(listing)) << c.text;
  }
}

TEST(MakerTest, ListsAnExistingImageTheSameWay) {
  const STestVolume v = MakeTestVolume("links-and-names");
  const std::string listing = ::testing::TempDir() + "/relisted.expected";
  const SProgramResult result = RunProgram({OSTRIN_MKVOL_PATH, "--list", v.image, listing});
  ASSERT_EQ(result.exitCode, 0) << result.err;
  std::ifstream a(v.listing), b(listing);
  const std::string first((std::istreambuf_iterator<char>(a)), {}), second((std::istreambuf_iterator<char>(b)), {});
  EXPECT_EQ(first, second);
  std::filesystem::remove(listing);
}

}  // namespace
}  // namespace ostrin::test
