// The drive slots in process: a build on made volumes and how each way out of it leaves the drive,
// the open job over a real loopback connection, the slot operations of the commands and the cleanup
// of idle drives. Each test works in a folder of its own, whose OstrinNT.ini maps the letters. The
// program runs under Wine too, without the test whose other process is a forked child (Linux).
#include <gtest/gtest.h>
#if !defined(_WIN32)
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <new>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "common/exceptions.h"
#include "common/protocol.h"
#include "common/text.h"
#include "index/drive_slots.h"
#include "index/image_walk.h"
#include "index/index_errors.h"
#include "ntfs/ntfs_errors.h"
#include "platform/perf_counter.h"
#include "platform/shared_section.h"
#include "platform/terminate_event.h"
#include "tests/support/expected_scan.h"
#include "tests/common/loopback_pair.h"
#include "tests/service/server_test_timings.h"
#include "tests/support/image_file.h"
#include "tests/support/made_volume.h"
#if !defined(_WIN32)
#include "tests/support/changed_volume.h"
#include "tests/support/listing_compare.h"
#endif

namespace {

using ostrin::test::MadeVolume;

// Section names are global on the machine; every test here publishes under letters of its own
// (N to W, and a lower-case x), and the server tests use others.
std::mutex g_reportedLock;
std::vector<std::string> g_reported;

void RecordSlotError(const WString& message) {
  std::lock_guard<std::mutex> lock(g_reportedLock);
  g_reported.push_back(WideToUtf8(message));
}

std::vector<std::string> Reported() {
  std::lock_guard<std::mutex> lock(g_reportedLock);
  return g_reported;
}

void ClearReported() {
  std::lock_guard<std::mutex> lock(g_reportedLock);
  g_reported.clear();
}

CDriveSlot& SlotOf(char letter) { return g_DriveSlots[static_cast<size_t>(letter - 'A')]; }

bool SectionExists(const WString& name) {
  ostrin::platform::CSectionView view;
  return view.Open(name);
}

// A new folder of its own under the test's temporary folder.
std::filesystem::path MakeTestFolder() {
  std::random_device random;
  for (;;) {
    const std::filesystem::path folder = std::filesystem::path(::testing::TempDir()) /
                                         ("ostrin_slots_" + std::to_string(random()) + std::to_string(random()));
    if (std::filesystem::create_directory(folder)) return folder;
  }
}

class DriveSlotTest : public CSocketLibraryTest {
 protected:
  void SetUp() override {
    CSocketLibraryTest::SetUp();
    m_previous = std::filesystem::current_path();
    m_folder = MakeTestFolder();
    std::filesystem::current_path(m_folder);
    // Every test starts clean, whatever the one before left (the whole program runs as one process too).
    ClearReported();
    TestServiceTimings() = CServiceTimings();
    SetSlotErrorReporter(&RecordSlotError);
    PrepareDriveSlots();
  }

  void TearDown() override {
    for (CDriveSlot& slot : g_DriveSlots) {
      slot.Close();
      slot.referenceCount = 0;
      slot.lastAccess = 0;
      slot.lastRelease = 0;
    }
    SetDriveKeepSeconds(0);
    SetSlotWarningReporter(nullptr);
    SetSlotInfoReporter(nullptr);
    TestServiceTimings() = CServiceTimings();
    std::filesystem::current_path(m_previous);
    std::filesystem::remove_all(m_folder);
    CSocketLibraryTest::TearDown();
  }

  // Maps letters to images in the folder's OstrinNT.ini.
  void MapVolumes(const std::vector<std::pair<char, std::string>>& volumes) {
    std::ofstream ini("OstrinNT.ini");
    for (const auto& [letter, image] : volumes) ini << "volume." << letter << " = " << image << "\n";
  }

  // An open job for the letter, answering on the service end of a fresh loopback pair.
  std::unique_ptr<OpenDriveRequest> Request(CLoopbackPair& pair, uint32_t letter) {
    if (!m_connections.count(&pair)) m_connections[&pair] = std::make_shared<CConnection>(std::move(pair.service));
    auto request = std::make_unique<OpenDriveRequest>();
    request->connection = m_connections[&pair];
    request->letter = letter;
    request->job = request->connection->NextJob();
    return request;
  }

  std::shared_ptr<CConnection> ConnectionOf(CLoopbackPair& pair) { return m_connections[&pair]; }

  std::filesystem::path m_previous;
  std::filesystem::path m_folder;
  std::map<CLoopbackPair*, std::shared_ptr<CConnection>> m_connections;
};

TEST(DriveSlotLetterTest, LettersOfEitherCaseAndNothingElse) {
  const std::vector<std::pair<WCHAR, int32_t>> accepted = {{'A', 0}, {'a', 0}, {'c', 2}, {'Z', 25}, {'z', 25}};
  for (const auto& [letter, slot] : accepted) EXPECT_EQ(DriveLetterToSlot(letter), slot) << static_cast<char>(letter);
  for (const WCHAR letter : {WCHAR{'@'}, WCHAR{'['}, WCHAR{'`'}, WCHAR{'{'}, WCHAR{'1'}, WCHAR{0}, WCHAR{0x0141}, WCHAR{0xFF21}}) {
    try {
      DriveLetterToSlot(letter);
      ADD_FAILURE() << "letter " << static_cast<int>(letter) << " was accepted";
    } catch (const CExceptionMsg& e) {
      EXPECT_EQ(e.Code(), 2000);
      EXPECT_EQ(WideToUtf8(e.Message()), "drive letter out of range (A..Z)");
    }
  }
}

// Damaged copies of made volumes.

// Every way out of a build leaves the volume closed unless the drive is open.
TEST_F(DriveSlotTest, BuildLeavesTheVolumeClosedOnEveryWayOutButSuccess) {
  const auto small = MadeVolume("bulk-small");
  const auto names = MadeVolume("links-and-names");
  ostrin::test::CImageCopy damaged(names.image);
  const uint64_t record = ostrin::test::FindExpected(names.expected, "/a/shared.txt")->record;
  damaged.Write(ostrin::test::MftRecordOffset(damaged.Path(), record), "BAAD", 4);
  MapVolumes({{'N', small.image}, {'O', damaged.Path()}});

  struct Case {
    const char* name;
    WCHAR letter;
    ScanProgress progress;
    std::string failure;  // "<code> <text>" of the exception; empty when the build returns
    bool built;
  };
  const std::vector<Case> cases = {
      {"aborted at the first report", 'N', [](int32_t) { return false; }, "", false},
      {"memory runs out in the scan", 'N', [](int32_t p) -> bool { if (p < 100) throw std::bad_alloc(); return true; },
       "bad_alloc", false},
      {"the client went away in the scan", 'N',
       [](int32_t p) -> bool { if (p < 100) ThrowError<CSockException>(SOCK_WRITE_NOT_OPEN); return true; },
       "1004 write: socket not open", false},
      {"a damaged record is skipped", 'O', [](int32_t) { return true; }, "", true},
      {"a letter without a volume", 'Y', [](int32_t) { return true; }, "3 Open volume error.", false},
      {"success", 'N', [](int32_t) { return true; }, "", true},
  };
  for (const Case& c : cases) {
    CDriveIndex drive;
    std::string failure;
    bool built = false;
    try {
      built = drive.Build(c.letter, c.progress);
    } catch (const std::bad_alloc&) {
      failure = "bad_alloc";
    } catch (const CException& e) {
      failure = std::to_string(e.Code()) + " " + WideToUtf8(e.Message());
    }
    // A system error text may follow the fixed text.
    EXPECT_EQ(failure.substr(0, c.failure.size()), c.failure) << c.name;
    EXPECT_EQ(failure.empty(), c.failure.empty()) << c.name << ": " << failure;
    EXPECT_EQ(built, c.built) << c.name;
    EXPECT_EQ(drive.IsOpen(), c.built) << c.name;
    EXPECT_EQ(drive.Volume().IsOpen(), c.built) << c.name;
    EXPECT_EQ(drive.Root(), nullptr) << c.name;
    EXPECT_EQ(drive.SectionName().empty(), !c.built) << c.name;
  }
}

TEST_F(DriveSlotTest, DamagedRecordsABuildSkippedAreOneWarning) {
  const auto names = MadeVolume("links-and-names");
  ostrin::test::CImageCopy damaged(names.image);
  const uint64_t first = ostrin::test::FindExpected(names.expected, "/a/shared.txt")->record;
  const uint64_t second = ostrin::test::FindExpected(names.expected, "/attrs/plain.txt")->record;
  damaged.Write(ostrin::test::MftRecordOffset(damaged.Path(), first), "BAAD", 4);
  damaged.Write(ostrin::test::MftRecordOffset(damaged.Path(), second) + 1022, "XX", 2);
  MapVolumes({{'Q', damaged.Path()}});
  static std::vector<std::string> warnings;
  warnings.clear();
  SetSlotWarningReporter([](const WString& message) { warnings.push_back(WideToUtf8(message)); });
  CLoopbackPair pair;
  OpenDriveThread(Request(pair, 'q'));
  SetSlotWarningReporter(nullptr);
  EXPECT_TRUE(SlotOf('Q').IsOpen());
  EXPECT_EQ(warnings, std::vector<std::string>{"Drive q: 2 damaged file records skipped: " + std::to_string(first) +
                                               " (not a file record), " + std::to_string(second) +
                                               " (update sequence mismatch)"});
  // Windows removes no file that is open: the drive lets go of the copy before the copy is removed.
  SlotOf('Q').Close();
}

TEST_F(DriveSlotTest, SecondOpenSharesTheImageAndClosesCountDown) {
  const auto small = MadeVolume("bulk-small");
  MapVolumes({{'P', small.image}});
  CLoopbackPair first;
  CLoopbackPair second;

  OpenDriveThread(Request(first, 'P'));
  // The build's byte stream: each progress below 100, then 100, then OpenDone, nothing else.
  for (uint32_t percent : ostrin::test::ExpectedProgress(small.image)) {
    EXPECT_EQ(ReadBytes(first.client, 12), CBytes().U32(5).U32('P').U32(percent).bytes);
  }
  EXPECT_EQ(ReadBytes(first.client, 12), CBytes().U32(5).U32('P').U32(100).bytes);
  EXPECT_EQ(ReadBytes(first.client, 8), CBytes().U32(4).U32('P').bytes);
  EXPECT_EQ(SlotOf('P').referenceCount, 1);

  // A lower-case open of the open drive: OpenDone at once, echoing its letter, and one more user.
  OpenDriveThread(Request(second, 'p'));
  EXPECT_EQ(ReadBytes(second.client, 8), CBytes().U32(4).U32('p').bytes);
  EXPECT_EQ(SlotOf('P').referenceCount, 2);
  const WString name = SlotOf('P').SectionName();
  EXPECT_TRUE(SectionExists(name));

  CDriveSlot::Release('p', *ConnectionOf(second));
  EXPECT_EQ(ReadBytes(second.client, 4), CBytes().U32(1).bytes);
  EXPECT_TRUE(SlotOf('P').IsOpen());
  CDriveSlot::Release('P', *ConnectionOf(first));
  EXPECT_EQ(ReadBytes(first.client, 4), CBytes().U32(1).bytes);
  EXPECT_FALSE(SlotOf('P').IsOpen());
  EXPECT_FALSE(SectionExists(name));
  // Once more: Ack, and the count stays at 0.
  CDriveSlot::Release('P', *ConnectionOf(first));
  EXPECT_EQ(ReadBytes(first.client, 4), CBytes().U32(1).bytes);
  EXPECT_EQ(SlotOf('P').referenceCount, 0);
  EXPECT_TRUE(Reported().empty());
}

TEST_F(DriveSlotTest, JobsOnAnEndedConnectionWriteNothingAndLeaveTheDriveConsistent) {
  const auto empty = MadeVolume("empty");
  const auto small = MadeVolume("bulk-small");
  MapVolumes({{'Q', empty.image}, {'R', small.image}});
  CLoopbackPair pair;
  auto forQ = Request(pair, 'Q');
  auto forR = Request(pair, 'R');
  ConnectionOf(pair)->Close();

  // One chunk of MFT: the scan reports nothing below 100, the image is published, and only the final
  // report fails. The ended connection is not counted, so the drive is not left open without a user.
  OpenDriveThread(std::move(forQ));
  EXPECT_FALSE(SlotOf('Q').IsOpen());
  EXPECT_EQ(SlotOf('Q').referenceCount, 0);

  // Several chunks: the first report fails, the scan stops as on any failure.
  OpenDriveThread(std::move(forR));
  EXPECT_FALSE(SlotOf('R').IsOpen());
  EXPECT_FALSE(SlotOf('R').Volume().IsOpen());
  EXPECT_EQ(SlotOf('R').referenceCount, 0);

  EXPECT_EQ(Reported(), (std::vector<std::string>{"write: socket not open", "write: socket not open"}));
  // Nothing reached the client.
  EXPECT_TRUE(pair.client.WaitReadable(0) == ostrin::platform::SocketWait::Ready);
  EXPECT_EQ(SockErrorOf([&] { ReadBytes(pair.client, 1); }), 1002);
}

TEST_F(DriveSlotTest, OutOfMemoryEndsTheOpenWithAnErrorAndFreesTheSlot) {
  const auto small = MadeVolume("bulk-small");
  MapVolumes({{'S', small.image}});
  TestServiceTimings().outOfMemoryAtPercent = 0;
  CLoopbackPair pair;
  OpenDriveThread(Request(pair, 'S'));
  TestServiceTimings().outOfMemoryAtPercent = -1;

  const CBytes failure = CBytes().U32(0).U32(18).Str(u"Out of memory while building the drive index.");
  EXPECT_EQ(ReadBytes(pair.client, failure.bytes.size()), failure.bytes);
  // The client gets the failure's text; the event also names the drive and its volume.
  EXPECT_EQ(Reported(), std::vector<std::string>{"Out of memory while building the drive index. (drive S:, volume " +
                                                 small.image + ")"});
  CDriveSlot& slot = SlotOf('S');
  EXPECT_FALSE(slot.IsOpen());
  EXPECT_FALSE(slot.Volume().IsOpen());
  ASSERT_TRUE(slot.slotLock.try_lock());
  slot.slotLock.unlock();

  // The next open of the letter builds normally.
  OpenDriveThread(Request(pair, 'S'));
  EXPECT_TRUE(slot.IsOpen());
}

TEST_F(DriveSlotTest, CommandsWaitForTheSlotLockOnlySoLong) {
  TestServiceTimings().slotLockWaitMs = 100;
  CLoopbackPair pair;
  auto connection = std::make_shared<CConnection>(std::move(pair.service));
  const auto codeOf = [](auto&& operation) {
    try {
      operation();
    } catch (const CExceptionMsg& e) {
      return std::to_string(e.Code()) + " " + WideToUtf8(e.Message());
    }
    return std::string("none");
  };
  const std::string inProgress = "2006 open operation for specified drive is in progress. can not close, call abort first";
  {
    std::lock_guard<CTimedLock> scan(SlotOf('T').slotLock);
    EXPECT_EQ(codeOf([&] { CDriveSlot::Release('T', *connection); }), inProgress);
    EXPECT_EQ(codeOf([&] { CDriveSlot::QueryImage('t', *connection); }), inProgress);
    // AbortOpen takes no lock.
    const uint64_t job = connection->NextJob();
    EXPECT_EQ(codeOf([&] { CDriveSlot::RequestAbort('T', *connection); }), "none");
    EXPECT_TRUE(connection->IsAborted('T' - 'A', job));
  }
  EXPECT_EQ(codeOf([&] { CDriveSlot::QueryImage('T', *connection); }), "2007 OstrinReadDir: specified drive is not open");
  EXPECT_EQ(codeOf([&] { CDriveSlot::Release('T', *connection); }), "none");
  EXPECT_EQ(codeOf([&] { CDriveSlot::Release('[', *connection); }), "2000 drive letter out of range (A..Z)");
  // Only the Ack of the successful Release was written.
  EXPECT_EQ(ReadBytes(pair.client, 4), CBytes().U32(1).bytes);
  EXPECT_EQ(pair.client.WaitReadable(50), ostrin::platform::SocketWait::TimedOut);
  TestServiceTimings().slotLockWaitMs = SLOT_LOCK_WAIT_MS;
}

TEST_F(DriveSlotTest, CleanupClosesOnlyDrivesIdleBeyondTheLimit) {
  const auto empty = MadeVolume("empty");
  MapVolumes({{'U', empty.image}, {'V', empty.image}});
  TestServiceTimings().cleanupWaitMs = 20;
  TestServiceTimings().driveIdleLimitSeconds = 0.3;
  CLoopbackPair pair;
  OpenDriveThread(Request(pair, 'U'));
  OpenDriveThread(Request(pair, 'V'));
  OpenDriveThread(Request(pair, 'V'));
  ASSERT_EQ(SlotOf('V').referenceCount, 2);
  const WString nameOfU = SlotOf('U').SectionName();

  ostrin::platform::CTerminateEvent terminate;
  ASSERT_TRUE(terminate.Create(WTEXT("TerminateEvent")));
  std::thread cleanup([&] { CleanupThread(terminate); });
  // Keep V in use: its last access is refreshed well inside the limit, as OstrinReadDir does.
  const auto openOf = [](char letter) {
    std::lock_guard<CTimedLock> lock(SlotOf(letter).slotLock);
    return SlotOf(letter).IsOpen();
  };
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (openOf('U') && std::chrono::steady_clock::now() < deadline) {
    {
      std::lock_guard<CTimedLock> lock(SlotOf('V').slotLock);
      SlotOf('V').lastAccess = ostrin::platform::PerformanceCounter();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  terminate.Signal();
  cleanup.join();
  TestServiceTimings().cleanupWaitMs = CLEANUP_WAIT_MS;
  TestServiceTimings().driveIdleLimitSeconds = DRIVE_IDLE_LIMIT_SECONDS;

  EXPECT_FALSE(openOf('U'));
  EXPECT_EQ(SlotOf('U').referenceCount, 0) << "the reference left behind is dropped with the drive";
  EXPECT_FALSE(SectionExists(nameOfU));
  EXPECT_TRUE(openOf('V'));
  EXPECT_EQ(SlotOf('V').referenceCount, 2);
}

// The clock of the next test, in counts of the performance counter's frequency.
std::atomic<int64_t> g_testClock{0};
int64_t TestClock() { return g_testClock.load(); }

// The idle time runs from the last open or OstrinReadDir: with no refresh there, the idle release would
// close drives in use.
TEST_F(DriveSlotTest, IdleTimeCountsFromTheLastOpenOrReadDir) {
  const auto empty = MadeVolume("empty");
  // The section carries the letter as sent; the server tests publish an upper-case X.
  MapVolumes({{'X', empty.image}});
  TestServiceTimings().slotClock = &TestClock;
  CDriveSlot& slot = SlotOf('X');
  const auto seconds = [&slot](double s) { return static_cast<int64_t>(s * static_cast<double>(slot.counterFrequency)); };
  constexpr double HOUR = 3600.0;
  ASSERT_EQ(DRIVE_IDLE_LIMIT_SECONDS, 4 * HOUR);
  // Far from 0, so that a use that is never recorded looks long ago.
  g_testClock = seconds(30 * 24 * HOUR);
  CLoopbackPair pair;

  enum class EUse { None, Open, ReadDir };
  struct Step {
    const char* name;
    double advance;  // seconds on the clock before the use and the cleanup round
    EUse use;
    bool openAfter;
  };
  const std::vector<Step> steps = {
      {"the first open", 0, EUse::Open, true},
      {"a second short of the limit after the open", 4 * HOUR - 1, EUse::None, true},
      {"OstrinReadDir then", 0, EUse::ReadDir, true},
      {"past the limit from the open, inside it from OstrinReadDir", 3 * HOUR, EUse::None, true},
      {"a second open of the open drive", 0, EUse::Open, true},
      {"past the limit from OstrinReadDir, inside it from the second open", 3 * HOUR, EUse::None, true},
      {"past the limit from the last use", HOUR + 2, EUse::None, false},
  };
  WString name;
  for (const Step& step : steps) {
    g_testClock += seconds(step.advance);
    if (step.use == EUse::Open) {
      OpenDriveThread(Request(pair, 'x'));
    } else if (step.use == EUse::ReadDir) {
      CDriveSlot::QueryImage('x', *ConnectionOf(pair));
    }
    if (name.empty()) name = slot.SectionName();
    CloseIdleDrives();
    std::lock_guard<CTimedLock> lock(slot.slotLock);
    EXPECT_EQ(slot.IsOpen(), step.openAfter) << step.name;
  }
  EXPECT_EQ(slot.referenceCount, 0) << "both references are dropped with the drive";
  EXPECT_FALSE(SectionExists(name));
  EXPECT_TRUE(Reported().empty());
}

TEST_F(DriveSlotTest, StopAbortsEveryScanIncludingOnesThatStartLater) {
  const auto small = MadeVolume("bulk-small");
  MapVolumes({{'W', small.image}});
  AbortAllDriveSlots();
  CLoopbackPair pair;
  // The job clears the slot's abort flag before it builds; the stop still ends its scan before its
  // first chunk, without a progress message.
  OpenDriveThread(Request(pair, 'W'));
  EXPECT_EQ(ReadBytes(pair.client, 8), CBytes().U32(6).U32('W').bytes);
  EXPECT_FALSE(SlotOf('W').IsOpen());
  PrepareDriveSlots();
  OpenDriveThread(Request(pair, 'W'));
  EXPECT_TRUE(SlotOf('W').IsOpen());
}

// How an open job ended, read off the client's end: its progress percentages, then OpenDone (4),
// OpenAborted (6) or an error (0, with its code).
struct SJobEnd {
  std::vector<uint32_t> progress;
  uint32_t end = 0;
  int32_t errorCode = 0;
};

SJobEnd ReadJobEnd(CSockStream& client) {
  SJobEnd job;
  for (;;) {
    uint32_t word[2] = {};
    client.Read(word, 8);
    if (word[0] == 5) {
      client.Read(word, 4);
      job.progress.push_back(word[0]);
      continue;
    }
    job.end = word[0];
    if (word[0] == 0) {
      job.errorCode = static_cast<int32_t>(word[1]);
      client.ReadString();
    }
    return job;
  }
}

// A kept drive stays open after its last close for the keep time on the tests' clock, an open in
// between finds it current without a scan, and the cleanup closes it once the time has run out.
std::atomic<int64_t> g_keepClock{0};
int64_t KeepClock() { return g_keepClock.load(); }

TEST_F(DriveSlotTest, AKeptDriveStaysOpenForItsTimeAfterTheLastClose) {
  const auto empty = MadeVolume("empty");
  MapVolumes({{'N', empty.image}});
  TestServiceTimings().slotClock = &KeepClock;
  CDriveSlot& slot = SlotOf('N');
  const auto seconds = [&slot](double s) { return static_cast<int64_t>(s * static_cast<double>(slot.counterFrequency)); };
  g_keepClock = seconds(1000);
  SetDriveKeepSeconds(60);
  CLoopbackPair pair;
  OpenDriveThread(Request(pair, 'N'));
  ASSERT_EQ(ReadJobEnd(pair.client).end, 4u);
  const uint64_t generation = slot.Generation();
  CDriveSlot::Release('N', *ConnectionOf(pair));
  EXPECT_EQ(ReadBytes(pair.client, 4), CBytes().U32(1).bytes);
  EXPECT_TRUE(slot.IsOpen()) << "kept after the last close";
  g_keepClock += seconds(59);
  CloseIdleDrives();
  EXPECT_TRUE(slot.IsOpen()) << "a second before the keep time ends";

  // An open in between: no scan, the same generation, one user again; its close starts the time anew.
  OpenDriveThread(Request(pair, 'N'));
  const SJobEnd reopened = ReadJobEnd(pair.client);
  EXPECT_EQ(reopened.end, 4u);
  EXPECT_TRUE(reopened.progress.empty());
  EXPECT_EQ(slot.Generation(), generation);
  EXPECT_EQ(slot.referenceCount, 1);
  CDriveSlot::Release('N', *ConnectionOf(pair));
  EXPECT_EQ(ReadBytes(pair.client, 4), CBytes().U32(1).bytes);
  g_keepClock += seconds(30);
  CloseIdleDrives();
  EXPECT_TRUE(slot.IsOpen());
  g_keepClock += seconds(31);
  CloseIdleDrives();
  EXPECT_FALSE(slot.IsOpen()) << "closed once the keep time ran out";
  EXPECT_TRUE(Reported().empty());
}

#if !defined(_WIN32)
// (Linux: the maker changes the volumes.)
ostrin::test::CListedEntries ListSection(const WString& name, uint64_t imageSize) {
  ostrin::platform::CSectionView view;
  ostrin::test::CListedEntries entries;
  EXPECT_TRUE(view.Open(name) && view.Map()) << WideToUtf8(name);
  if (view.Data() == nullptr) return entries;
  std::string error;
  EXPECT_TRUE(WalkImage(static_cast<const uint8_t*>(view.Data()), imageSize, [&](const CImageEntry& entry) {
    std::string path;
    for (const WString& part : entry.path) path += "/" + WideToUtf8(part);
    entries.emplace(path, entry);
  }, &error)) << error;
  return entries;
}

// Every kind of change to a volume the service holds open (the maker changes it, as another NTFS
// driver would): the next open builds a new generation that lists the volume exactly as the maker
// says it now is. On the volume with a change journal both the journal and the file show the change;
// on the one without, the file alone. Once nothing changes, an open reads no MFT.
TEST_F(DriveSlotTest, AnOpenAfterAChangeListsTheVolumeAsItNowIs) {
  struct Change {
    const char* what;
    const char* lines;
  };
  const std::vector<Change> journaled = {
      {"a file created", "file /docs/created.txt size=7"},
      {"a file renamed", "rename /docs/created.txt /docs/renamed.txt"},
      {"a file moved to another directory", "rename /docs/renamed.txt /moved/renamed.txt"},
      {"a hard link added", "link /docs/a.txt /moved/a-link.txt"},
      {"a file written larger", "write /docs/a.txt size=70000"},
      {"its times changed", "touch /docs/a.txt written=2022-05-06T07:08:09"},
      {"a file deleted", "delete /docs/new.txt"},
      {"a tree made", "dir /tree/a/b\nfile /tree/a/b/c.txt size=1\nfile /tree/d.txt size=2"},
      {"a directory tree deleted", "delete /tree"},
  };
  const std::vector<Change> unjournaled = {
      {"a file created", "file /a/created.txt size=3"},
      {"a directory tree deleted", "delete /deep"},
  };
  // A connection each: the requests of the fixture are told apart by their pair.
  CLoopbackPair pairs[2];
  int round = 0;
  // Where the journal cannot tell what changed, the update says so and scans.
  static std::vector<std::string> notes;
  notes.clear();
  SetSlotInfoReporter([](const WString& message) { notes.push_back(WideToUtf8(message)); });
  for (const auto& [manifest, changes] : {std::pair{"journal", journaled}, std::pair{"links-and-names", unjournaled}}) {
    SCOPED_TRACE(manifest);
    ostrin::test::CChangedVolume volume(MadeVolume(manifest));
    MapVolumes({{'O', volume.Path()}});
    CDriveSlot& slot = SlotOf('O');
    CLoopbackPair& pair = pairs[round++];
    OpenDriveThread(Request(pair, 'O'));
    ASSERT_EQ(ReadJobEnd(pair.client).end, 4u);
    for (const Change& change : changes) {
      SCOPED_TRACE(change.what);
      const uint64_t before = slot.Generation();
      volume.Change(change.lines);
      OpenDriveThread(Request(pair, 'O'));
      const SJobEnd job = ReadJobEnd(pair.client);
      ASSERT_EQ(job.end, 4u) << change.what;
      EXPECT_FALSE(job.progress.empty()) << change.what << ": scanned again";
      EXPECT_GT(slot.Generation(), before) << change.what;
      ostrin::test::CompareWithMaker(ListSection(slot.SectionName(), slot.ImageSize()), volume.Expected());
      EXPECT_EQ(slot.Kept().EntryCount(), slot.EntryCount()) << change.what;
      if (std::string(manifest) == "links-and-names") {
        ASSERT_FALSE(notes.empty()) << change.what;
        EXPECT_EQ(notes.back(), "Drive O: its image is updated by a full scan (the volume keeps no journal)");
        notes.clear();
      }
    }
    // A volume whose file was written within the second counts as changed once more; after that an
    // open compares the stamp only.
    ostrin::test::WaitUntilSettled(volume.Path());
    OpenDriveThread(Request(pair, 'O'));
    ASSERT_EQ(ReadJobEnd(pair.client).end, 4u);
    const uint64_t generation = slot.Generation();
    const uint64_t read = slot.Volume().Device().BytesRead();
    OpenDriveThread(Request(pair, 'O'));
    const SJobEnd unchanged = ReadJobEnd(pair.client);
    EXPECT_EQ(unchanged.end, 4u);
    EXPECT_TRUE(unchanged.progress.empty());
    EXPECT_EQ(slot.Generation(), generation);
    const uint64_t stampBytes = slot.Volume().Device().BytesRead() - read;
    EXPECT_LT(stampBytes, 16 * uint64_t{slot.Volume().FileRecordSize()} + slot.Volume().IndexBlockSize())
        << "the journal's look-up reads a few records, the file's stamp none";
    EXPECT_EQ(slot.referenceCount, static_cast<int32_t>(changes.size()) + 3);
    slot.Close();
    slot.referenceCount = 0;
  }
  EXPECT_TRUE(Reported().empty());
}

// A client keeps the image it mapped while newer generations are published; a change made while a
// scan runs shows at the next open; an update that fails (the image file gone) fails that open with
// the volume's error and leaves the current generation published and the drive open.
TEST_F(DriveSlotTest, UpdatesServeTheCurrentImageAndLeaveItWhenTheyFail) {
  // A volume whose MFT is read in several chunks, so that a change can come in the middle of a scan.
  ostrin::test::CChangedVolume volume(MadeVolume("many-records"));
  MapVolumes({{'R', volume.Path()}});
  SetSlotWarningReporter(&RecordSlotError);
  CDriveSlot& slot = SlotOf('R');
  CLoopbackPair pair;
  OpenDriveThread(Request(pair, 'R'));
  ASSERT_EQ(ReadJobEnd(pair.client).end, 4u);
  const WString firstName = slot.SectionName();
  const uint64_t firstSize = slot.ImageSize();
  const auto firstListing = ListSection(firstName, firstSize);
  ostrin::platform::CSectionView firstView;
  ASSERT_TRUE(firstView.Open(firstName) && firstView.Map());

  // The change comes while the update's scan runs, after its stamp was taken.
  volume.Change("file /docs/first.txt size=1");
  TestServiceTimings().progressDelayMs = 30;
  std::thread job([&] { OpenDriveThread(Request(pair, 'R')); });
  uint32_t word[3] = {};
  pair.client.Read(word, 12);
  ASSERT_EQ(word[0], 5u) << "the update reports its progress";
  ASSERT_LT(word[2], 100u) << "the scan is under way";
  const auto duringScan = volume.Change("file /docs/during-the-scan.txt size=1").expected;
  ASSERT_EQ(ReadJobEnd(pair.client).end, 4u);
  job.join();
  TestServiceTimings().progressDelayMs = 0;
  OpenDriveThread(Request(pair, 'R'));
  ASSERT_EQ(ReadJobEnd(pair.client).end, 4u);
  ostrin::test::CompareWithMaker(ListSection(slot.SectionName(), slot.ImageSize()), duringScan);

  // The first client still reads its image, whole and unchanged.
  std::string error;
  ostrin::test::CListedEntries stillMapped;
  EXPECT_TRUE(WalkImage(static_cast<const uint8_t*>(firstView.Data()), firstSize, [&](const CImageEntry& entry) {
    std::string path;
    for (const WString& part : entry.path) path += "/" + WideToUtf8(part);
    stillMapped.emplace(path, entry);
  }, &error)) << error;
  EXPECT_EQ(stillMapped.size(), firstListing.size());
  EXPECT_EQ(stillMapped.count("/docs/first.txt"), 0u);

  // The image file goes: the update fails with the volume's error, the newest image stays.
  const WString current = slot.SectionName();
  const uint64_t generation = slot.Generation();
  std::filesystem::rename(volume.Path(), volume.Path() + ".away");
  OpenDriveThread(Request(pair, 'R'));
  const SJobEnd failed = ReadJobEnd(pair.client);
  EXPECT_EQ(failed.end, 0u);
  EXPECT_EQ(failed.errorCode, ERROR_OPEN_VOLUME.code);
  EXPECT_TRUE(slot.IsOpen());
  EXPECT_EQ(slot.SectionName(), current);
  CDriveSlot::QueryImage('R', *ConnectionOf(pair));
  EXPECT_EQ(ReadBytes(pair.client, 4), CBytes().U32(1).bytes);
  EXPECT_EQ(WideToUtf8(pair.client.ReadString()), WideToUtf8(current));
  pair.client.Read(word, 8);
  ostrin::test::CompareWithMaker(ListSection(current, slot.ImageSize()), duringScan);
  const std::vector<std::string> reported = Reported();
  const std::string warning = "Drive R: the update of its image failed (" + WideToUtf8(ERROR_OPEN_VOLUME.Text());
  EXPECT_TRUE(std::any_of(reported.begin(), reported.end(), [&](const std::string& text) {
    return text.rfind(warning, 0) == 0 && text.find("generation " + std::to_string(generation) + " stays published") != std::string::npos;
  })) << "the event log says so";
  std::filesystem::rename(volume.Path() + ".away", volume.Path());
  EXPECT_EQ(slot.referenceCount, 3) << "the failed open gave its use back";
}
#endif

#if !defined(_WIN32)
// (Linux: the other owner is a forked child.)
// A section left by a process that ended without closing it is removed; a section whose owner still
// runs is never removed, whether the owner is another process or this one.
TEST(DriveSlotSectionTest, OnlySectionsWithoutARunningOwnerAreRemoved) {
  namespace platform = ostrin::platform;
  const std::string tag = std::to_string(::getpid());
  const std::u16string prefix = u"Global\\OstrinSlotTest_" + AsciiToWide(tag) + u"_";
  const std::u16string other = u"Global\\OstrinSlotOther_" + AsciiToWide(tag) + u"_";
  constexpr uint64_t SIZE = 8192;
  enum class EOwner { Ended, OtherProcess, ThisProcess };
  struct Case {
    const char* name;
    std::u16string section;
    EOwner owner;
    bool removed;
  };
  const std::vector<Case> cases = {
      {"its owner ended", prefix + u"ended", EOwner::Ended, true},
      {"its owner runs in another process", prefix + u"running", EOwner::OtherProcess, false},
      {"its owner is this process", prefix + u"mine", EOwner::ThisProcess, false},
      {"another name", other + u"ended", EOwner::Ended, false},
  };

  // Owners in other processes: each makes its section, fills it with its case's number and says so on
  // a pipe; a running one then waits until its pipe closes, an ended one exits without closing it.
  std::vector<pid_t> children;
  std::vector<int> holdOpen;
  platform::CSharedSection mine;
  for (size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    if (c.owner == EOwner::ThisProcess) {
      platform::SectionFailure failure = platform::SectionFailure::None;
      ASSERT_TRUE(mine.Create(c.section, SIZE, &failure));
      std::memset(mine.View(), static_cast<int>(i + 1), SIZE);
      mine.Unmap();
      continue;
    }
    int ready[2];
    int hold[2];
    ASSERT_EQ(::pipe(ready), 0);
    ASSERT_EQ(::pipe(hold), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      ::close(ready[0]);
      ::close(hold[1]);
      platform::CSharedSection section;
      platform::SectionFailure failure = platform::SectionFailure::None;
      if (!section.Create(c.section, SIZE, &failure)) ::_exit(1);
      std::memset(section.View(), static_cast<int>(i + 1), SIZE);
      section.Unmap();
      const char byte = 1;
      if (::write(ready[1], &byte, 1) != 1) ::_exit(2);
      char ignored = 0;
      if (c.owner == EOwner::OtherProcess) (void)!::read(hold[0], &ignored, 1);
      // As a crash would: nothing is closed.
      ::_exit(0);
    }
    ::close(ready[1]);
    ::close(hold[0]);
    char byte = 0;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1) << c.name;
    ::close(ready[0]);
    children.push_back(child);
    holdOpen.push_back(hold[1]);
    if (c.owner == EOwner::Ended) {
      int status = 0;
      ASSERT_EQ(::waitpid(child, &status, 0), child);
    }
  }
  // A client still maps the section whose owner ended.
  platform::CSectionView reader;
  ASSERT_TRUE(reader.Open(cases[0].section));
  ASSERT_TRUE(reader.Map());

  EXPECT_EQ(platform::RemoveStaleSections(prefix), 1u);
  for (const Case& c : cases) {
    platform::CSectionView view;
    EXPECT_EQ(view.Open(c.section), !c.removed) << c.name;
  }
  const auto* bytes = static_cast<const unsigned char*>(reader.Data());
  EXPECT_EQ(reader.Size(), SIZE);
  EXPECT_EQ(bytes[0], 1);
  EXPECT_EQ(bytes[SIZE - 1], 1) << "the client reads the image it mapped";
  EXPECT_EQ(platform::RemoveStaleSections(prefix), 0u) << "once removed, gone";

  // The running owner ends as well: now its section is left behind, and it goes too.
  for (const int fd : holdOpen) ::close(fd);
  for (const pid_t child : children) ::waitpid(child, nullptr, 0);
  EXPECT_EQ(platform::RemoveStaleSections(prefix), 1u);
  EXPECT_EQ(platform::RemoveStaleSections(other), 1u);
  mine.Close();
}
#endif

}  // namespace
