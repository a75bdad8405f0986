// The system from end to end: the real OstrinNT program scanning made volumes, and the real
// libOstrinAPI.so listing them through its exported functions only.
#include <gtest/gtest.h>

#include <OstrinAPI.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "common/protocol.h"
#include "common/text.h"
#include "tests/service/server_process.h"
#include "tests/service/server_test_timings.h"
#include "tests/support/listing_compare.h"
#include "tests/support/made_volume.h"
#include "tests/support/record_patch.h"
#include "tests/support/run_program.h"
#if !defined(_WIN32)
#include "tests/support/changed_volume.h"
#endif

namespace {

using ostrin::test::CServerProcess;
using ostrin::test::SServerOptions;

uint64_t FileTimeValue(const FILETIME& time) {
  return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

CImageEntry EntryOf(const WIN32_FIND_DATAW& data, const std::vector<WString>& parentPath) {
  CImageEntry entry;
  entry.path = parentPath;
  entry.path.push_back(data.cFileName);
  entry.attributes = data.dwFileAttributes;
  entry.isDirectory = (data.dwFileAttributes & 0x10) != 0;
  entry.fileSize = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  uint32_t allocatedWords[2];
  std::memcpy(allocatedWords, data.cAlternateFileName, sizeof allocatedWords);
  entry.allocatedSize = (static_cast<uint64_t>(allocatedWords[0]) << 32) | allocatedWords[1];
  entry.lastWriteTime = FileTimeValue(data.ftLastWriteTime);
  entry.creationTime = FileTimeValue(data.ftCreationTime);
  entry.lastAccessTime = FileTimeValue(data.ftLastAccessTime);
  return entry;
}

std::string SlashPath(const std::vector<WString>& path) {
  std::string text;
  for (const WString& name : path) text += "/" + WideToUtf8(name);
  return text;
}

WString BackslashPath(const std::vector<WString>& path) {
  WString text(1, '\\');
  for (const WString& name : path) text += name + WTEXT("\\");
  return text;
}

// Every entry of the drive, listed directory by directory with OstFindFirstFile / OstFindNextFile.
ostrin::test::CListedEntries ListDrive(uint32_t index, WCHAR letter) {
  ostrin::test::CListedEntries listed;
  std::vector<std::vector<WString>> pending{{}};
  while (!pending.empty()) {
    const std::vector<WString> directory = std::move(pending.back());
    pending.pop_back();
    WIN32_FIND_DATAW data{};
    OST_FIND_HANDLE find = OstFindFirstFile(index, (BackslashPath(directory) + WTEXT("*")).c_str(), &data);
    EXPECT_EQ(OstGetLastError(letter), 0) << SlashPath(directory);
    if (find == nullptr) continue;
    do {
      const CImageEntry entry = EntryOf(data, directory);
      EXPECT_TRUE(listed.emplace(SlashPath(entry.path), entry).second) << "listed twice: " << SlashPath(entry.path);
      if (entry.isDirectory) pending.push_back(entry.path);
    } while (OstFindNextFile(find, &data) != 0);
    EXPECT_EQ(OstGetLastError(letter), 0) << SlashPath(directory);
    OstFindClose(find);
  }
  return listed;
}

void ConnectOrFail() {
  ::testing::internal::CaptureStderr();
  const int32_t connected = OstConnect();
  const std::string shown = ::testing::internal::GetCapturedStderr();
  ASSERT_EQ(connected, 1) << shown;
}

class ApiVolumeTest : public ::testing::TestWithParam<std::string> {};

TEST_P(ApiVolumeTest, EveryEntryIsListedAsTheMakerRecordedIt) {
  const ostrin::test::STestVolume volume = ostrin::test::MadeVolume(GetParam());
  CServerProcess server(SServerOptions().Port(CLIENT_PORT).Volume('T', volume.image));
  server.Start();
  ConnectOrFail();
  const int32_t index = OstOpenDrive('t', nullptr, 0);
  ASSERT_EQ(index, 'T' - 'A') << OstGetLastError('T');
  ostrin::test::CompareWithMaker(ListDrive(static_cast<uint32_t>(index), 'T'), volume.expected);
  EXPECT_EQ(OstCloseDrive(static_cast<uint32_t>(index)), 1);
  EXPECT_EQ(OstDisconnect(), 1);
}

INSTANTIATE_TEST_SUITE_P(MadeVolumes, ApiVolumeTest, ::testing::ValuesIn(ostrin::test::MadeVolumeNames()),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                           std::string name = info.param;
                           std::replace(name.begin(), name.end(), '-', '_');
                           return name;
                         });

TEST(ApiFindTest, NamesAreFoundWhateverTheirCaseAndAnExactNameWins) {
  const ostrin::test::STestVolume unicode = ostrin::test::MadeVolume("unicode");
  const ostrin::test::STestVolume cases = ostrin::test::MadeVolume("links-and-case");
  CServerProcess server(SServerOptions().Port(CLIENT_PORT).Volume('T', unicode.image).Volume('U', cases.image));
  server.Start();
  ConnectOrFail();
  const int32_t unicodeDrive = OstOpenDrive('T', nullptr, 0);
  const int32_t casesDrive = OstOpenDrive('U', nullptr, 0);
  ASSERT_GE(unicodeDrive, 0);
  ASSERT_GE(casesDrive, 0);
  struct Case {
    int32_t drive;
    const char* path;  // UTF-8
    std::vector<std::string> names;
  };
  const std::vector<Case> table = {
      // Letters beyond ASCII without case, in the directory and in the pattern.
      {unicodeDrive, "\\ÜNÏCÖDÉ\\*", {"café.txt", "cafe\xCC\x81.txt"}},  // é composed, and e with a combining accent
      {unicodeDrive, "\\ünïcödé\\CAFÉ.TXT", {"café.txt"}},
      {unicodeDrive, "\\РУССКИЙ\\Ф*", {"файл.txt"}},
      // Compared as NTFS upper-cases names: the Kelvin sign (U+212A) is not K, the long s not s, the
      // final sigma not σ, whatever Unicode's case folding says.
      {unicodeDrive, "\\kv\\ka.txt", {"ka.txt"}},
      {unicodeDrive, "\\KV\\KA.TXT", {"ka.txt"}},
      {unicodeDrive, "\\kv\\\u212AA.TXT", {"\u212Aa.txt"}},
      {unicodeDrive, "\\kv\\k*", {"ka.txt"}},
      {unicodeDrive, "\\kv\\S*", {"sa.txt"}},
      {unicodeDrive, "\\kv\\ſA.*", {"ſa.txt"}},
      {unicodeDrive, "\\kv\\Σ.TXT", {"σ.txt"}},
      {unicodeDrive, "\\kv\\ς*", {"ς.txt"}},
      {unicodeDrive, "\\kv\\SUB\\*", {}},
      {unicodeDrive, "\\kv\\ſUB\\*", {"in-long-s.txt"}},
      // Sub, sub and SUB are three directories: each is reached by its own name, and a name that is
      // none of them exactly reaches the first of them.
      {casesDrive, "\\case\\Sub\\*", {"deeper", "upper.txt"}},
      {casesDrive, "\\case\\sub\\*", {"deeper", "lower.txt"}},
      {casesDrive, "\\case\\SUB\\*", {"caps.txt"}},
      {casesDrive, "\\CASE\\sub\\DEEPER\\*", {"in-lower.txt"}},
      {casesDrive, "\\case\\Sub\\deeper\\*", {"in-upper.txt"}},
      {casesDrive, "\\case\\sUB\\*", {"deeper", "upper.txt"}},
      // The directory itself, then the further entries its name matches as a pattern.
      {casesDrive, "\\case\\sub\\", {"sub", "SUB"}},
  };
  for (const Case& c : table) {
    std::vector<std::string> names;
    WIN32_FIND_DATAW data{};
    OST_FIND_HANDLE find = OstFindFirstFile(static_cast<uint32_t>(c.drive), Utf8ToWide(c.path).c_str(), &data);
    if (find != nullptr) {
      do {
        names.push_back(WideToUtf8(data.cFileName));
      } while (OstFindNextFile(find, &data) != 0);
      OstFindClose(find);
    }
    EXPECT_EQ(names, c.names) << c.path;
  }
  EXPECT_EQ(OstDisconnect(), 1);
}

std::vector<int32_t> g_progress;
int32_t g_progressAnswer = 1;
int32_t RecordProgress(int32_t percent, int32_t callerValue) {
  EXPECT_EQ(callerValue, 4711);
  g_progress.push_back(percent);
  return g_progressAnswer;
}

TEST(ApiOpenTest, AFreshScanReportsItsProgressAndAnOpenImageOnly100) {
  const ostrin::test::STestVolume volume = ostrin::test::MadeVolume("many-records");
  CServerProcess server(SServerOptions().Port(CLIENT_PORT).Volume('C', volume.image));
  server.Start();
  ConnectOrFail();
  g_progress.clear();
  ASSERT_EQ(OstOpenDrive('c', RecordProgress, 4711), 2);
  std::vector<int32_t> expected;
  for (const uint32_t percent : ostrin::test::ExpectedProgress(volume.image)) expected.push_back(static_cast<int32_t>(percent));
  expected.push_back(100);  // the service's last report
  expected.push_back(100);  // the library's own, once the image is mapped
  EXPECT_EQ(g_progress, expected);
  const uint64_t imageSize = ostrin::test::ExpectedImageSize(volume.image);
  EXPECT_EQ(OstGetMemoryUsage(2), imageSize);

  // The image exists already: no scan, one call with 100.
  g_progress.clear();
  ASSERT_EQ(OstOpenDrive('C', RecordProgress, 4711), 2);
  EXPECT_EQ(g_progress, std::vector<int32_t>{100});

  EXPECT_EQ(OstCloseDrive(2), 1);
  EXPECT_EQ(OstCloseDrive(2), 1);
  EXPECT_EQ(OstGetLastError('C'), 0);
  EXPECT_EQ(OstGetMemoryUsage(2), imageSize);
  WIN32_FIND_DATAW data{};
  EXPECT_EQ(OstFindFirstFile(2, WTEXT("\\*"), &data), nullptr);
  EXPECT_EQ(OstGetLastError('C'), 3001);
  EXPECT_EQ(OstDisconnect(), 1);
}

TEST(ApiOpenTest, AbortFromTheCallbackEndsTheOpenWithoutAnError) {
  const ostrin::test::STestVolume volume = ostrin::test::MadeVolume("many-records");
  CServerProcess server(SServerOptions()
                            .TestProgram()
                            .Environment(ENV_PROGRESS_DELAY_MS, "20")
                            .Port(CLIENT_PORT)
                            .Volume('D', volume.image));
  server.Start();
  ConnectOrFail();
  g_progress.clear();
  g_progressAnswer = 0;
  EXPECT_EQ(OstOpenDrive('D', RecordProgress, 4711), -1);
  EXPECT_EQ(OstGetLastError('D'), 0);
  ASSERT_FALSE(g_progress.empty());
  EXPECT_LT(g_progress.back(), 100);

  g_progressAnswer = 1;
  EXPECT_EQ(OstOpenDrive('D', RecordProgress, 4711), 3);
  EXPECT_EQ(OstCloseDrive(3), 1);
  EXPECT_EQ(OstDisconnect(), 1);
}

TEST(ApiOpenTest, AVolumeThatCannotBeReadStoresTheScansError) {
  CServerProcess server(SServerOptions().Port(CLIENT_PORT).Volume('V', "/nonexistent/volume.img"));
  server.Start();
  ConnectOrFail();
  EXPECT_EQ(OstOpenDrive('V', nullptr, 0), -1);
  EXPECT_EQ(OstGetLastError('V'), 3);
  std::vector<WCHAR> text(static_cast<size_t>(OstGetLastErrorString('V', nullptr, 0)));
  OstGetLastErrorString('V', text.data(), static_cast<uint32_t>(text.size()));
  EXPECT_EQ(WideToUtf8(text.data()).rfind("Open volume error.", 0), 0u) << WideToUtf8(text.data());
  // A letter without a volume fails the same way.
  EXPECT_EQ(OstOpenDrive('W', nullptr, 0), -1);
  EXPECT_EQ(OstGetLastError('W'), 3);
  EXPECT_EQ(OstDisconnect(), 1);
}

TEST(ApiOpenTest, AProgramReconnectsAfterTheServiceRestarted) {
  const ostrin::test::STestVolume volume = ostrin::test::MadeVolume("bulk-small");
  {
    CServerProcess server(SServerOptions().Port(CLIENT_PORT).Volume('E', volume.image));
    server.Start();
    ConnectOrFail();
    ASSERT_EQ(OstOpenDrive('E', nullptr, 0), 4);
    EXPECT_EQ(server.Stop(), 0);
  }
  // The old connection is gone: the drive cannot be given back.
  EXPECT_EQ(OstCloseDrive(4), 0);
  EXPECT_EQ(OstGetLastError('E'), 3009);

  CServerProcess server(SServerOptions().Port(CLIENT_PORT).Volume('E', volume.image));
  server.Start();
  ConnectOrFail();
  ASSERT_EQ(OstOpenDrive('E', nullptr, 0), 4);
  EXPECT_FALSE(ListDrive(4, 'E').empty());
  EXPECT_EQ(OstCloseDrive(4), 1);
  EXPECT_EQ(OstDisconnect(), 1);
}

// Every path "/a/b" that `ostrin ls -R X:\` lists: "Directory of X:\a\" lines, each followed by the
// names in it (a directory's with a backslash after it).
std::set<std::string> ListedByOstrin(const std::string& text) {
  std::set<std::string> paths;
  std::istringstream lines(text);
  std::string directory;
  static const std::string HEADER = "Directory of ";
  for (std::string line; std::getline(lines, line);) {
    if (line.empty()) continue;
    if (line.rfind(HEADER, 0) == 0) {
      directory = line.substr(HEADER.size() + 2);  // past "X:"
      std::replace(directory.begin(), directory.end(), '\\', '/');
      continue;
    }
    if (line.back() == '\\') line.pop_back();
    paths.insert(directory + line);
  }
  return paths;
}

// One record the scan cannot list costs only itself: through OstrinAPI and through `ostrin ls -R`
// the drive lists everything else as the maker made it, and the scan's warning names the record.
TEST(ApiDamagedRecordTest, ARecordThatCannotBeListedCostsOnlyItselfAndIsNamedInTheWarning) {
  const ostrin::test::STestVolume volume = ostrin::test::MadeVolume("unreachable-names");
  using SValue = std::pair<std::vector<uint8_t>, uint32_t>;  // a record, and its first name's value
  struct SCase {
    const char* name;
    const char* patched;  // the entry whose record is patched, with what is below it the entries left out
    // The bytes patched at an offset in the name's value, made from the record's bytes.
    std::function<std::pair<uint32_t, std::vector<uint8_t>>(const SValue&)> patch;
    const char* warning;  // after "Drive T: " and before the record number
  };
  const auto bytes = [](std::vector<uint8_t> patch, uint32_t at) {
    return [patch, at](const SValue&) { return std::make_pair(at, patch); };
  };
  const auto otherParentSequence = [](const SValue& name) {
    const uint32_t at = name.second + 6;  // the parent reference's sequence number
    const uint16_t sequence = static_cast<uint16_t>(name.first[at] | (name.first[at + 1] << 8));
    const uint16_t other = static_cast<uint16_t>(sequence + 1);
    return std::make_pair(6u, std::vector<uint8_t>{static_cast<uint8_t>(other), static_cast<uint8_t>(other >> 8)});
  };
  const std::vector<SCase> cases = {
      {"a name that begins with NUL", "/q/a/b/decoy.txt", bytes({0, 0}, 0x42), "1 damaged file record skipped: %llu (file name with a NUL unit)"},
      {"an empty name", "/dup/one/first.txt", bytes({0}, 0x40), "1 damaged file record skipped: %llu (no usable file name)"},
      {"only a DOS name", "/dup/one/first.txt", bytes({2}, 0x41), "1 damaged file record skipped: %llu (no usable file name)"},
      {"a file whose directory's record was used again", "/dup/two/second.txt", otherParentSequence,
       "1 name whose directory no longer exists left out: %llu"},
      {"a directory whose directory's record was used again", "/q/aXb", otherParentSequence,
       "1 name whose directory no longer exists left out: %llu"},
  };
  for (const SCase& c : cases) {
    SCOPED_TRACE(c.name);
    const ostrin::test::SExpectedEntry* patched = ostrin::test::FindExpected(volume.expected, c.patched);
    ASSERT_NE(patched, nullptr);
    ostrin::test::CImageCopy copy(volume.image);
    const std::vector<uint8_t> record = ostrin::test::ReadRecord(copy, patched->record);
    const uint32_t value = ostrin::test::ResidentValueOffset(record, ostrin::test::FindAttribute(record, 0x30).value());
    const auto [at, patch] = c.patch({record, value});
    ostrin::test::PatchRecord(copy, patched->record, value + at, patch);
    std::vector<ostrin::test::SExpectedEntry> expected;
    const std::string below = std::string(c.patched) + "/";
    for (const ostrin::test::SExpectedEntry& entry : volume.expected) {
      if (entry.path != c.patched && entry.path.rfind(below, 0) != 0) expected.push_back(entry);
    }

    CServerProcess server(SServerOptions().Port(CLIENT_PORT).Volume('T', copy.Path()));
    server.Start();
    ConnectOrFail();
    const int32_t index = OstOpenDrive('T', nullptr, 0);
    ASSERT_EQ(index, 'T' - 'A') << OstGetLastError('T');
    const ostrin::test::CListedEntries listed = ListDrive(static_cast<uint32_t>(index), 'T');
    ostrin::test::CompareWithMaker(listed, expected);
    char warning[160];
    std::snprintf(warning, sizeof warning, c.warning, static_cast<unsigned long long>(patched->record));
    EXPECT_EQ(server.CountTextEvents(std::string("Drive T: ") + warning), 1u) << ::testing::PrintToString(server.Events());

    const ostrin::test::SProgramResult ls = ostrin::test::RunProgram({OSTRIN_CLI_PATH, "ls", "-R", "T:\\"});
    EXPECT_EQ(ls.exitCode, 0) << ls.err;
    std::set<std::string> paths;
    for (const auto& [path, entry] : listed) paths.insert(path);
    EXPECT_EQ(ListedByOstrin(ls.out), paths) << ls.out;
    EXPECT_EQ(OstCloseDrive(static_cast<uint32_t>(index)), 1);
    EXPECT_EQ(OstDisconnect(), 1);
  }
}

#if !defined(_WIN32)
// (Linux: the maker changes the volume.)
// A program keeps listing the image it mapped while another program's open of the changed volume
// publishes a newer one; its own next open maps the newest.
TEST(ApiOpenTest, OpeningADriveAgainMapsTheVolumeAsItNowIs) {
  ostrin::test::CChangedVolume volume(ostrin::test::MadeVolume("journal"));
  CServerProcess server(SServerOptions().Port(CLIENT_PORT).Volume('G', volume.Path()));
  server.Start();
  ConnectOrFail();
  ASSERT_EQ(OstOpenDrive('G', nullptr, 0), 6);
  const ostrin::test::CListedEntries before = ListDrive(6, 'G');
  ASSERT_EQ(before.count("/docs/a.txt"), 1u);
  volume.Change("file /docs/seen-later.txt size=3\ndelete /docs/a.txt");
  // A second old, so that the scan of the change leaves a stamp that the next open can trust.
  ostrin::test::WaitUntilSettled(volume.Path());

  // Another program opens the drive: the service scans the changed volume.
  ostrin::test::CRawClient other(server.Port());
  other.Hello();
  const ostrin::test::SOpenResult reopened = other.Open('G');
  EXPECT_EQ(reopened.end, 4u);
  EXPECT_FALSE(reopened.progress.empty()) << "the changed volume is scanned again";
  const auto paths = [](const ostrin::test::CListedEntries& listed) {
    std::vector<std::string> keys;
    for (const auto& [path, entry] : listed) keys.push_back(path + " " + std::to_string(entry.fileSize));
    return keys;
  };
  EXPECT_EQ(paths(ListDrive(6, 'G')), paths(before)) << "the first program still lists the image it mapped";

  g_progress.clear();
  ASSERT_EQ(OstOpenDrive('G', RecordProgress, 4711), 6);
  EXPECT_EQ(g_progress, std::vector<int32_t>{100}) << "the newest image is current: no scan";
  const ostrin::test::CListedEntries after = ListDrive(6, 'G');
  EXPECT_EQ(after.count("/docs/seen-later.txt"), 1u);
  EXPECT_EQ(after.count("/docs/a.txt"), 0u);
  ostrin::test::CompareWithMaker(after, volume.Expected());
  EXPECT_EQ(OstCloseDrive(6), 1);
  EXPECT_EQ(OstCloseDrive(6), 1);
  other.Close();
  EXPECT_EQ(OstDisconnect(), 1);
  EXPECT_EQ(server.Stop(), 0);
}
#endif

}  // namespace
