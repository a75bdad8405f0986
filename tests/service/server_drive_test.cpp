// The drive slots as clients of the real server see them: shared drives and their close counting,
// aborts, commands that meet a running scan, clients that leave during an open, memory running out,
// the idle cleanup and a stop in the middle of a scan. Scans are slowed (OstrinNT-test) where a test
// needs them to last.
//
// Section names are global on the machine: each test publishes under letters of its own.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/shared_section.h"
#include "tests/service/server_process.h"
#include "tests/service/server_test_timings.h"
#include "tests/support/made_volume.h"

namespace {

using ostrin::test::CRawClient;
using ostrin::test::CServerProcess;
using ostrin::test::SOpenResult;
using ostrin::test::SServerOptions;

constexpr uint32_t OPEN = 3, ABORT = 7, CLOSE = 8, READ_DIR = 10;
constexpr uint32_t OPEN_DONE = 4, OPEN_ABORTED = 6;

const std::u16string IN_PROGRESS = u"open operation for specified drive is in progress. can not close, call abort first";
const std::u16string NOT_OPEN = u"OstrinReadDir: specified drive is not open";
constexpr int32_t DRIVE_NOT_OPEN = 2007;

bool SectionExists(const std::u16string& name) {
  ostrin::platform::CSectionView view;
  return view.Open(ostrin::test::NativeText(name));
}

// Waits until the section is gone (its drive closed); false when it still exists after 15 s.
bool WaitUntilGone(const std::u16string& name) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  while (SectionExists(name)) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// The large volume: about 24 progress steps.
const ostrin::test::STestVolume& SlotsBulk() {
  static const ostrin::test::STestVolume volume = ostrin::test::MadeVolume("slots-bulk");
  return volume;
}

std::vector<uint32_t> WithDone(std::vector<uint32_t> progress) {
  progress.push_back(100);
  return progress;
}

class DriveSlotServerTest : public CSocketLibraryTest {};

TEST_F(DriveSlotServerTest, TwoClientsShareADriveAndTheLastCloseReleasesIt) {
  const auto small = ostrin::test::MadeVolume("bulk-small");
  CServerProcess server(SServerOptions().Volume('F', small.image));
  server.Start();
  CRawClient first(server.Port());
  CRawClient second(server.Port());
  first.Hello();
  second.Hello();

  const SOpenResult built = first.Open('F');
  EXPECT_EQ(built.end, OPEN_DONE);
  EXPECT_EQ(built.progress, WithDone(ostrin::test::ExpectedProgress(small.image)));
  // The second open finds the image: Ack, then OpenDone with no progress.
  second.SendCommand(OPEN, 'F');
  EXPECT_TRUE(second.Expect(CBytes().U32(1).U32(OPEN_DONE).U32('F')));

  std::u16string firstName, secondName;
  uint64_t firstSize = 0, secondSize = 0;
  ASSERT_TRUE(first.ReadDir('F', &firstName, &firstSize));
  ASSERT_TRUE(second.ReadDir('F', &secondName, &secondSize));
  EXPECT_EQ(firstName, secondName);
  EXPECT_EQ(firstSize, secondSize);

  first.SendCommand(CLOSE, 'F');
  EXPECT_TRUE(first.ExpectAck());
  EXPECT_TRUE(second.ReadDir('F', nullptr, nullptr)) << "one user is left";
  EXPECT_TRUE(SectionExists(firstName));
  second.SendCommand(CLOSE, 'F');
  EXPECT_TRUE(second.ExpectAck());
  EXPECT_FALSE(SectionExists(firstName));
  int32_t code = 0;
  EXPECT_FALSE(first.ReadDir('F', nullptr, nullptr, &code));
  EXPECT_EQ(code, DRIVE_NOT_OPEN);
  // A third close: Ack and nothing changes, and the next open builds again.
  first.SendCommand(CLOSE, 'F');
  EXPECT_TRUE(first.ExpectAck());
  const SOpenResult again = second.Open('F');
  EXPECT_EQ(again.end, OPEN_DONE);
  EXPECT_EQ(again.progress, built.progress);
  std::u16string againName;
  ASSERT_TRUE(second.ReadDir('F', &againName, nullptr));
  EXPECT_NE(againName, firstName) << "a new build, a new name";
  second.SendCommand(CLOSE, 'F');
  EXPECT_TRUE(second.ExpectAck());
  EXPECT_FALSE(SectionExists(againName)) << "the count was back at 0 before the new open";
  first.Close();
  second.Close();
  EXPECT_EQ(server.Stop(), 0);
}

TEST_F(DriveSlotServerTest, AbortStopsTheScanOfItsOwnConnectionsOpen) {
  const std::vector<uint32_t> expected = ostrin::test::ExpectedProgress(SlotsBulk().image);
  ASSERT_GE(expected.size(), 10u) << "the volume's MFT spans many chunks";
  const auto small = ostrin::test::MadeVolume("bulk-small");
  CServerProcess server(SServerOptions()
                            .TestProgram()
                            .Volume('H', SlotsBulk().image)
                            .Volume('G', small.image)
                            .Environment(ENV_PROGRESS_DELAY_MS, "100"));
  server.Start();
  CRawClient client(server.Port());
  client.Hello();

  // Aborted by its own client at the first progress: the scan goes on to its next progress step
  // (whose message is still sent), then OpenAborted. (When the abort is carried out before the job
  // has looked at the flag after the first message, that first step is already the one that stops.)
  client.SendCommand(OPEN, 'H');
  ASSERT_TRUE(client.ExpectAck());
  SOpenResult aborted = client.ReadOpenMessages('H', [&](uint32_t percent) {
    if (percent == expected.front()) client.SendCommand(ABORT, 'H');
  });
  EXPECT_EQ(aborted.end, OPEN_ABORTED);
  EXPECT_LE(aborted.progress.size(), expected.size() / 2) << "stopped early";
  EXPECT_EQ(aborted.progress.front(), expected.front());
  int32_t code = 0;
  EXPECT_FALSE(client.ReadDir('H', nullptr, nullptr, &code));
  EXPECT_EQ(code, DRIVE_NOT_OPEN);

  EXPECT_TRUE(client.Silent(50)) << "AbortOpen has no reply";

  // An abort while no scan runs has no effect on the next open. (The reply to the CloseDrive behind
  // it shows that the abort has been carried out before the open is sent.)
  client.SendCommand(ABORT, 'G');
  client.SendCommand(CLOSE, 'G');
  ASSERT_TRUE(client.ExpectAck());
  const SOpenResult built = client.Open('G');
  EXPECT_EQ(built.end, OPEN_DONE);
  client.Close();
  EXPECT_EQ(server.CountTextEventsStartingWith("Error: "), 1u) << "only the ReadDir of the aborted drive";
  EXPECT_EQ(server.Stop(), 0);
}

TEST_F(DriveSlotServerTest, AnOpenWaitingForTheScanOfItsDriveScansAgainAfterAnAbort) {
  const std::vector<uint32_t> expected = ostrin::test::ExpectedProgress(SlotsBulk().image);
  CServerProcess server(
      SServerOptions().TestProgram().Volume('I', SlotsBulk().image).Environment(ENV_PROGRESS_DELAY_MS, "50"));
  server.Start();
  CRawClient first(server.Port());
  CRawClient second(server.Port());
  first.Hello();
  second.Hello();

  first.SendCommand(OPEN, 'I');
  ASSERT_TRUE(first.ExpectAck());
  const SOpenResult stopped = first.ReadOpenMessages('I', [&](uint32_t percent) {
    if (percent != expected.front()) return;
    // A second open of the drive waits for the running scan; then the first aborts its own.
    second.SendCommand(OPEN, 'I');
    EXPECT_TRUE(second.ExpectAck());
    first.SendCommand(ABORT, 'I');
  });
  EXPECT_EQ(stopped.end, OPEN_ABORTED);
  const SOpenResult waited = second.ReadOpenMessages('I');
  EXPECT_EQ(waited.end, OPEN_DONE);
  EXPECT_EQ(waited.progress, WithDone(expected)) << "the waiting open cleared the abort and scanned it all";
  EXPECT_TRUE(second.ReadDir('I', nullptr, nullptr));
  second.SendCommand(CLOSE, 'I');
  EXPECT_TRUE(second.ExpectAck());
  first.Close();
  second.Close();
  EXPECT_EQ(server.Stop(), 0);
}

TEST_F(DriveSlotServerTest, CloseAndReadDirDuringAScanFailAfterTheLockWait) {
  CServerProcess server(
      SServerOptions().TestProgram().Volume('J', SlotsBulk().image).Environment(ENV_PROGRESS_DELAY_MS, "250"));
  server.Start();
  CRawClient scanner(server.Port());
  CRawClient closer(server.Port());
  CRawClient reader(server.Port());
  scanner.Hello();
  closer.Hello();
  reader.Hello();

  scanner.SendCommand(OPEN, 'J');
  ASSERT_TRUE(scanner.ExpectAck());
  ASSERT_EQ(scanner.ReadU32(), 5u);  // the first progress: the scan holds the slot
  scanner.Read(8);

  const auto timedFailure = [](CRawClient& client, uint32_t command) {
    const auto start = std::chrono::steady_clock::now();
    client.SendCommand(command, 'J');
    const bool failed = client.ExpectError(2006, IN_PROGRESS);
    return std::make_pair(failed, std::chrono::steady_clock::now() - start);
  };
  auto closing = std::async(std::launch::async, [&] { return timedFailure(closer, CLOSE); });
  auto reading = std::async(std::launch::async, [&] { return timedFailure(reader, READ_DIR); });
  const auto closed = closing.get();
  const auto read = reading.get();
  EXPECT_TRUE(closed.first);
  EXPECT_TRUE(read.first);
  // The wait is the full 3000 ms lock wait, not a shortened one.
  EXPECT_GE(closed.second, std::chrono::milliseconds(2900));
  EXPECT_GE(read.second, std::chrono::milliseconds(2900));

  scanner.SendCommand(ABORT, 'J');
  const SOpenResult rest = scanner.ReadOpenMessages('J');
  EXPECT_EQ(rest.end, OPEN_ABORTED);
  // The slot is free again: the commands answer at once.
  closer.SendCommand(CLOSE, 'J');
  EXPECT_TRUE(closer.ExpectAck());
  reader.SendCommand(READ_DIR, 'J');
  EXPECT_TRUE(reader.ExpectError(DRIVE_NOT_OPEN, NOT_OPEN));
  scanner.Close();
  closer.Close();
  reader.Close();
  EXPECT_EQ(server.CountTextEvents("Error: " + std::string(IN_PROGRESS.begin(), IN_PROGRESS.end())), 2u);
  EXPECT_EQ(server.Stop(), 0);
}

TEST_F(DriveSlotServerTest, AClientLeavingDuringTheScanStopsItAndTheServiceGoesOn) {
  const auto empty = ostrin::test::MadeVolume("empty");
  CServerProcess server(SServerOptions()
                            .TestProgram()
                            .Volume('K', SlotsBulk().image)
                            .Volume('L', empty.image)
                            .Environment(ENV_PROGRESS_DELAY_MS, "100"));
  server.Start();
  {
    CRawClient leaving(server.Port());
    leaving.Hello();
    leaving.SendCommand(OPEN, 'K');
    ASSERT_TRUE(leaving.ExpectAck());
    ASSERT_EQ(leaving.ReadU32(), 5u);
  }
  // The next progress cannot be written: the job logs the socket's failure and ends.
  EXPECT_TRUE(server.WaitForTextEvent("Error: write"));
  CRawClient client(server.Port());
  client.Hello();
  int32_t code = 0;
  EXPECT_FALSE(client.ReadDir('K', nullptr, nullptr, &code));
  EXPECT_EQ(code, DRIVE_NOT_OPEN);
  EXPECT_EQ(client.Open('L').end, OPEN_DONE);
  client.SendCommand(CLOSE, 'L');
  EXPECT_TRUE(client.ExpectAck());
  client.Close();
  EXPECT_EQ(server.Stop(), 0);
}

TEST_F(DriveSlotServerTest, AClientLeavingAfterTheScanGivesItsUseBack) {
  const auto small = ostrin::test::MadeVolume("bulk-small");
  const std::vector<uint32_t> expected = ostrin::test::ExpectedProgress(small.image);
  ASSERT_FALSE(expected.empty());
  CServerProcess server(
      SServerOptions().TestProgram().Volume('M', small.image).Environment(ENV_PROGRESS_DELAY_MS, "300"));
  server.Start();
  {
    CRawClient leaving(server.Port());
    leaving.Hello();
    leaving.SendCommand(OPEN, 'M');
    ASSERT_TRUE(leaving.ExpectAck());
    // Every progress of the scan; the client goes while the image is published and before the 100.
    for (const uint32_t percent : expected) {
      ASSERT_TRUE(leaving.Expect(CBytes().U32(5).U32('M').U32(percent)));
    }
  }
  EXPECT_TRUE(server.WaitForTextEvent("Error: write"));
  CRawClient client(server.Port());
  client.Hello();
  // The build completed; its client's use went with its connection, and with it the drive.
  std::u16string name;
  if (client.ReadDir('M', &name, nullptr)) {
    EXPECT_TRUE(WaitUntilGone(name));
  }
  int32_t code = 0;
  EXPECT_FALSE(client.ReadDir('M', nullptr, nullptr, &code)) << "that use was the last";
  EXPECT_EQ(code, DRIVE_NOT_OPEN);
  client.Close();
  EXPECT_EQ(server.Stop(), 0);
}

// A connection reaches only the opens it made itself: another's CloseDrive or AbortOpen changes
// nothing, the owner's second CloseDrive gives back nothing more, and a connection that leaves gives
// back its own uses. The drive closes when its last user leaves without closing.
TEST_F(DriveSlotServerTest, AConnectionClosesAndAbortsOnlyItsOwnOpensAndLeavesWithThem) {
  const auto small = ostrin::test::MadeVolume("bulk-small");
  const std::vector<uint32_t> expected = ostrin::test::ExpectedProgress(SlotsBulk().image);
  ASSERT_GE(expected.size(), 10u);
  CServerProcess server(SServerOptions()
                            .TestProgram()
                            .Volume('S', SlotsBulk().image)
                            .Volume('T', small.image)
                            .Environment(ENV_PROGRESS_DELAY_MS, "50"));
  server.Start();
  CRawClient observer(server.Port());
  observer.Hello();

  enum class EAct { StrangerCloses, StrangerAbortsTheScan, OwnerClosesTwice, OwnerLeaves };
  const std::vector<std::pair<const char*, EAct>> cases = {
      {"a connection that never opened the drive closes it twice", EAct::StrangerCloses},
      {"a connection that never opened the drive aborts the owner's scan", EAct::StrangerAbortsTheScan},
      {"the owner closes twice", EAct::OwnerClosesTwice},
      {"the owner leaves without closing", EAct::OwnerLeaves},
  };
  for (const auto& [what, act] : cases) {
    SCOPED_TRACE(what);
    auto owner = std::make_unique<CRawClient>(server.Port());
    auto other = std::make_unique<CRawClient>(server.Port());
    CRawClient stranger(server.Port());
    owner->Hello();
    other->Hello();
    stranger.Hello();

    owner->SendCommand(OPEN, 'S');
    ASSERT_TRUE(owner->ExpectAck());
    const SOpenResult built = owner->ReadOpenMessages('S', [&](uint32_t percent) {
      if (act == EAct::StrangerAbortsTheScan && percent == expected.front()) stranger.SendCommand(ABORT, 'S');
    });
    EXPECT_EQ(built.end, OPEN_DONE);
    EXPECT_EQ(built.progress, WithDone(expected)) << "the scan went on to its end";
    ASSERT_EQ(other->Open('S').end, OPEN_DONE);
    std::u16string name;
    ASSERT_TRUE(observer.ReadDir('S', &name, nullptr));

    switch (act) {
      case EAct::StrangerCloses:
      case EAct::OwnerClosesTwice: {
        CRawClient& closer = act == EAct::StrangerCloses ? stranger : *owner;
        for (int close = 0; close < 2; ++close) {
          closer.SendCommand(CLOSE, 'S');
          EXPECT_TRUE(closer.ExpectAck());
        }
        break;
      }
      case EAct::StrangerAbortsTheScan:
        break;
      case EAct::OwnerLeaves: {
        // A drive only the owner holds: a connection gives its uses back in the order of the letters,
        // so once T is closed the owner's use of S has been given back too.
        ASSERT_EQ(owner->Open('T').end, OPEN_DONE);
        std::u16string marker;
        ASSERT_TRUE(observer.ReadDir('T', &marker, nullptr));
        owner.reset();
        EXPECT_TRUE(WaitUntilGone(marker));
        break;
      }
    }
    std::u16string now;
    EXPECT_TRUE(observer.ReadDir('S', &now, nullptr)) << "the other user keeps the drive open";
    EXPECT_EQ(now, name);
    EXPECT_TRUE(SectionExists(name));

    // The users that are left leave without closing: the drive goes with the last of them.
    owner.reset();
    stranger.Close();
    other.reset();
    EXPECT_TRUE(WaitUntilGone(name));
  }
  observer.Close();
  EXPECT_EQ(server.Stop(), 0);
}

TEST_F(DriveSlotServerTest, OutOfMemoryFailsTheOpenAndTheServiceGoesOn) {
  const auto empty = ostrin::test::MadeVolume("empty");
  CServerProcess server(SServerOptions()
                            .TestProgram()
                            .Volume('A', SlotsBulk().image)
                            .Volume('L', empty.image)
                            .Environment(ENV_OUT_OF_MEMORY_AT_PERCENT, "10"));
  server.Start();
  CRawClient client(server.Port());
  client.Hello();
  for (int attempt = 0; attempt < 2; ++attempt) {
    client.SendCommand(OPEN, 'A');
    EXPECT_TRUE(client.ExpectAck());
    const SOpenResult failed = client.ReadOpenMessages('A');
    EXPECT_EQ(failed.end, 0u);
    EXPECT_EQ(failed.errorCode, 18);
    EXPECT_EQ(failed.errorText, "Out of memory while building the drive index.");
    EXPECT_FALSE(failed.progress.empty());
    EXPECT_LT(failed.progress.back(), 10u);
    // The slot is not open, and its lock is free: the reply comes at once, not after 3 s.
    int32_t code = 0;
    EXPECT_FALSE(client.ReadDir('A', nullptr, nullptr, &code));
    EXPECT_EQ(code, DRIVE_NOT_OPEN);
  }
  EXPECT_EQ(client.Open('L').end, OPEN_DONE);
  client.Close();
  EXPECT_EQ(server.CountTextEventsStartingWith("Error: Out of memory while building the drive index. (drive "), 2u);
  EXPECT_EQ(server.Stop(), 0);
}

TEST_F(DriveSlotServerTest, IdleDrivesAreClosedByTheCleanupWhateverTheirCount) {
  const auto empty = ostrin::test::MadeVolume("empty");
  CServerProcess server(SServerOptions()
                            .TestProgram()
                            .Volume('B', empty.image)
                            .Environment(ENV_CLEANUP_WAIT_MS, "50")
                            .Environment(ENV_IDLE_LIMIT_SECONDS, "1"));
  server.Start();
  CRawClient client(server.Port());
  client.Hello();
  ASSERT_EQ(client.Open('B').end, OPEN_DONE);
  std::u16string name;
  ASSERT_TRUE(client.ReadDir('B', &name, nullptr));
  ASSERT_EQ(client.Open('B').end, OPEN_DONE);  // two references (unless the cleanup came in between)

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (SectionExists(name) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_FALSE(SectionExists(name));
  int32_t code = 0;
  EXPECT_FALSE(client.ReadDir('B', nullptr, nullptr, &code));
  EXPECT_EQ(code, DRIVE_NOT_OPEN);
  // The references went with the drive: one new open and one close release it at once.
  const SOpenResult reopened = client.Open('B');
  EXPECT_EQ(reopened.end, OPEN_DONE);
  EXPECT_EQ(reopened.progress, std::vector<uint32_t>{100}) << "built again";
  ASSERT_TRUE(client.ReadDir('B', &name, nullptr));
  client.SendCommand(CLOSE, 'B');
  EXPECT_TRUE(client.ExpectAck());
  EXPECT_FALSE(SectionExists(name));
  client.Close();
  EXPECT_EQ(server.Stop(), 0);
}

// ---- The stop sequence with a scan running.

TEST(ServerStopTest, StopDuringAScanAbortsItAndTheOpenWaitingBehindIt) {
  CServerProcess server(SServerOptions()
                            .TestProgram()
                            .Volume('X', SlotsBulk().image)
                            .Environment(ENV_PROGRESS_DELAY_MS, "100")
                            .Environment(ENV_CONNECTION_TIMEOUT_SECONDS, "2"));
  server.Start();
  CRawClient scanning(server.Port());
  CRawClient waiting(server.Port());
  scanning.Hello();
  waiting.Hello();
  scanning.SendCommand(OPEN, 'X');
  ASSERT_TRUE(scanning.ExpectAck());
  ASSERT_EQ(scanning.ReadU32(), 5u);
  scanning.Read(8);
  waiting.SendCommand(OPEN, 'X');
  ASSERT_TRUE(waiting.ExpectAck());

  server.RequestStop();
  EXPECT_EQ(scanning.ReadOpenMessages('X').end, OPEN_ABORTED);
  // The waiting job clears the slot's abort flag when it gets the lock; the stop ends its scan all the
  // same, at the first step. (Its connection may end first, when the stop came before the connection
  // thread looked at the flag again after the Ack: the job's messages are then dropped.)
  const SOpenResult behind = waiting.ReadOpenMessages('X');
  EXPECT_LE(behind.progress.size(), 1u);
  if (behind.end != OPEN_ABORTED) {
    EXPECT_EQ(behind.end, 0xFFFFFFFFu) << behind.errorText;
  }
  EXPECT_TRUE(scanning.ClosedByServer());
  EXPECT_TRUE(waiting.ClosedByServer());
  EXPECT_EQ(server.Stop(), 0);
  EXPECT_EQ(server.CountTextEventsStartingWith("Error: ") - server.CountTextEventsStartingWith("Error: write"), 0u)
      << server.EventLogText();
  const std::vector<std::string> events = server.Events();
  EXPECT_NE(std::find(events.begin(), events.end(), "information 109 The service was stopped."), events.end());
}

}  // namespace
