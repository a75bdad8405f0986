// OstOpenDrive, OstCloseDrive and OstGetMemoryUsage against a scripted stand-in for the service, for
// the exchanges the real service never has: refusals at every step, silence, unknown messages, an
// OpenDone after an abort, a connection lost half way.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "client/OstrinAPI.h"
#include "client/client_state.h"
#include "common/protocol.h"
#include "common/text.h"
#include "platform/shared_section.h"
#include "tests/client/fake_service.h"

namespace {

using ostrin::test::CFakeService;
using ostrin::test::CPublishedImage;
using ostrin::test::ExpectCommand;
using ostrin::test::Greet;

struct SProgressLog {
  std::vector<int32_t> percents;
  int32_t answer = 1;  // what the callback returns
};

// Progress logs; the caller's value picks one.
SProgressLog g_logs[4];
int32_t LogProgress(int32_t percent, int32_t callerValue) {
  g_logs[callerValue].percents.push_back(percent);
  return g_logs[callerValue].answer;
}

CPublishedImage SmallImage() {
  using ostrin::test::ImageDirectory;
  using ostrin::test::ImageFile;
  return CPublishedImage(ostrin::test::BuildImage(
      ImageDirectory(WString(), {ImageDirectory(WTEXT("Docs"), {ImageFile(WTEXT("a.txt"), 5, 8)}),
                                 ImageFile(WTEXT("b.txt"), 7, 8)})));
}

class ClientDriveTest : public ::testing::Test {
 protected:
  // Every drive starts closed: the library's records outlive each test of the process, and the order
  // of the tests in one process is not the same in every build.
  void SetUp() override {
    g_Connection.timeoutSeconds = 1;
    for (SProgressLog& log : g_logs) log = SProgressLog{};
    for (DriveRecord& drive : g_Drives) {
      drive.ReleaseView();
      drive.ClearError();
      drive.state = DriveState::Closed;
      drive.serviceUses = 0;
    }
  }

  static void Connect() {
    ::testing::internal::CaptureStderr();
    const int32_t connected = OstConnect();
    const std::string shown = ::testing::internal::GetCapturedStderr();
    ASSERT_EQ(connected, 1) << shown;
  }
};

TEST_F(ClientDriveTest, OpenDrivePassesTheCallersLetterAndAnOpenDoneAfterAnAbortStillOpens) {
  const CPublishedImage image = SmallImage();
  CFakeService service([&](CSockStream& connection) {
    Greet(connection);
    ExpectCommand(connection, ECommand::OstrinOpenDrive, 'c');
    WriteAck(connection);
    WriteOpenProgress(connection, 'c', 10);
    ExpectCommand(connection, ECommand::AbortOpen, 'c');
    WriteOpenProgress(connection, 'c', 20);
    ExpectCommand(connection, ECommand::AbortOpen, 'c');
    // The scan had already finished: the open completes.
    WriteOpenDone(connection, 'c');
    ExpectCommand(connection, ECommand::OstrinReadDir, 'c');
    WriteReadDirReply(connection, image.Name(), image.Size());
    ExpectCommand(connection, ECommand::CloseDrive, 'C');
    WriteAck(connection);
  });
  Connect();
  g_logs[0].answer = 0;
  EXPECT_EQ(OstOpenDrive('c', LogProgress, 0), 2);
  // One AbortOpen per report answered with 0; the library's own 100 comes after the mapping.
  EXPECT_EQ(g_logs[0].percents, (std::vector<int32_t>{10, 20, 100}));
  EXPECT_EQ(g_Drives[2].state, DriveState::Open);
  EXPECT_EQ(OstGetMemoryUsage(2), image.Size());
  EXPECT_EQ(OstCloseDrive(2), 1);
  EXPECT_EQ(g_Drives[2].state, DriveState::Closed);
  EXPECT_EQ(OstGetMemoryUsage(2), image.Size());
  EXPECT_EQ(OstGetLastError('c'), 0);
}

TEST_F(ClientDriveTest, OpenAbortedEndsTheOpenWithoutAnError) {
  CFakeService service([&](CSockStream& connection) {
    Greet(connection);
    ExpectCommand(connection, ECommand::OstrinOpenDrive, 'E');
    WriteAck(connection);
    WriteOpenProgress(connection, 'E', 0);
    ExpectCommand(connection, ECommand::AbortOpen, 'E');
    WriteOpenAborted(connection, 'E');
  });
  Connect();
  g_logs[1].answer = 0;
  EXPECT_EQ(OstOpenDrive('E', LogProgress, 1), -1);
  EXPECT_EQ(g_logs[1].percents, (std::vector<int32_t>{0}));
  EXPECT_EQ(OstGetLastError('E'), 0);
  EXPECT_EQ(g_Drives[4].state, DriveState::Opening);
  EXPECT_EQ(g_Drives[4].view, nullptr);
}

TEST_F(ClientDriveTest, RefusalsAndFailuresAreStoredAsTheServiceSentThem) {
  const CPublishedImage image = SmallImage();
  CFakeService service([&](CSockStream& connection) {
    Greet(connection);
    // Refused at once: the state stays as it was.
    ExpectCommand(connection, ECommand::OstrinOpenDrive, 'F');
    WriteErrorReply(connection, ERR_OPEN_THREAD_FAILED);
    // The scan fails: the failure form of an open, after an unknown message that is skipped.
    ExpectCommand(connection, ECommand::OstrinOpenDrive, 'G');
    WriteAck(connection);
    connection.WriteU32(77);
    WriteOpenProgress(connection, 'G', 3);
    WriteErrorReply(connection, 9, WTEXT("Read data error"));
    // OpenDone, then OstrinReadDir refused: the client gives the drive back.
    ExpectCommand(connection, ECommand::OstrinOpenDrive, 'H');
    WriteAck(connection);
    WriteOpenDone(connection, 'H');
    ExpectCommand(connection, ECommand::OstrinReadDir, 'H');
    WriteErrorReply(connection, ERR_DRIVE_NOT_OPEN);
    ExpectCommand(connection, ECommand::CloseDrive, 'H');
    WriteErrorReply(connection, ERR_OPEN_IN_PROGRESS);  // dropped: the open's error is kept
    // A section that does not exist.
    ExpectCommand(connection, ECommand::OstrinOpenDrive, 'I');
    WriteAck(connection);
    WriteOpenDone(connection, 'I');
    ExpectCommand(connection, ECommand::OstrinReadDir, 'I');
    WriteReadDirReply(connection, WTEXT("Global\\OstrinTest_no_such_section"), 16);
    ExpectCommand(connection, ECommand::CloseDrive, 'I');
    WriteAck(connection);
  });
  Connect();
  EXPECT_EQ(OstOpenDrive('F', nullptr, 0), -1);
  EXPECT_EQ(OstGetLastError('F'), ERR_OPEN_THREAD_FAILED.code);
  EXPECT_EQ(g_Drives[5].lastErrorText, ERR_OPEN_THREAD_FAILED.Text());
  EXPECT_EQ(g_Drives[5].state, DriveState::Closed);

  EXPECT_EQ(OstOpenDrive('G', LogProgress, 2), -1);
  EXPECT_EQ(g_logs[2].percents, (std::vector<int32_t>{3}));
  EXPECT_EQ(OstGetLastError('G'), 9);
  EXPECT_EQ(g_Drives[6].lastErrorText, WTEXT("Read data error"));
  EXPECT_EQ(g_Drives[6].state, DriveState::Opening);

  EXPECT_EQ(OstOpenDrive('H', nullptr, 0), -1);
  EXPECT_EQ(OstGetLastError('H'), ERR_DRIVE_NOT_OPEN.code);
  EXPECT_EQ(g_Drives[7].state, DriveState::Closed);

  EXPECT_EQ(OstOpenDrive('I', nullptr, 0), -1);
  EXPECT_EQ(OstGetLastError('I'), 3007);
  EXPECT_EQ(g_Drives[8].lastErrorText, WTEXT("Could not open file mapping object."));
  EXPECT_EQ(g_Drives[8].state, DriveState::Closed);
  EXPECT_EQ(OstGetMemoryUsage(8), 16u);
}

TEST_F(ClientDriveTest, FourSilentWaitsAreSurvivedAndTheFifthFailsTheOpen) {
  const CPublishedImage image = SmallImage();
  CFakeService service([&](CSockStream& connection) {
    Greet(connection);
    ExpectCommand(connection, ECommand::OstrinOpenDrive, 'J');
    WriteAck(connection);
    EXPECT_TRUE(ostrin::test::ClientSilent(connection, 9000));  // four waits of two seconds, and half the fifth
    WriteOpenProgress(connection, 'J', 50);
    WriteOpenDone(connection, 'J');
    ExpectCommand(connection, ECommand::OstrinReadDir, 'J');
    WriteReadDirReply(connection, image.Name(), image.Size());
    ExpectCommand(connection, ECommand::OstrinOpenDrive, 'K');
    WriteAck(connection);
    // The client gives up after five waits and says nothing more until the test closes the connection.
    EXPECT_TRUE(ostrin::test::ClientSilent(connection, 30000));
  });
  g_Connection.timeoutSeconds = 2;
  Connect();
  EXPECT_EQ(OstOpenDrive('J', LogProgress, 3), 9);
  EXPECT_EQ(g_logs[3].percents, (std::vector<int32_t>{50, 100}));
  EXPECT_EQ(OstOpenDrive('K', nullptr, 0), -1);
  EXPECT_EQ(OstGetLastError('K'), 3009);
  EXPECT_EQ(g_Drives[10].lastErrorText, WTEXT("Service communication error."));
  EXPECT_EQ(g_Drives[10].state, DriveState::Closed);
  g_Connection.Close();
}

TEST_F(ClientDriveTest, ALostConnectionFailsTheOpenAtOnce) {
  CFakeService service([&](CSockStream& connection) {
    Greet(connection);
    ExpectCommand(connection, ECommand::OstrinOpenDrive, 'L');
    WriteAck(connection);
    WriteOpenProgress(connection, 'L', 1);
  });
  Connect();
  EXPECT_EQ(OstOpenDrive('L', nullptr, 0), -1);
  EXPECT_EQ(OstGetLastError('L'), 3009);
  EXPECT_EQ(g_Drives[11].state, DriveState::Closed);
}

TEST_F(ClientDriveTest, OpenBeforeConnectFailsInItsFirstSend) {
  EXPECT_EQ(OstOpenDrive('m', nullptr, 0), -1);
  EXPECT_EQ(OstGetLastError('M'), 3009);
  EXPECT_EQ(OstOpenDrive('1', nullptr, 0), -1);
  EXPECT_EQ(OstGetLastError('1'), 3000);
}

TEST_F(ClientDriveTest, CloseDriveAsksTheServiceOnlyForOpensItHolds) {
  CFakeService service([&](CSockStream& connection) {
    Greet(connection);
    // Nothing for N (never opened) or O (its open still running).
    ExpectCommand(connection, ECommand::CloseDrive, 'P');
    WriteErrorReply(connection, ERR_OPEN_IN_PROGRESS);
    ExpectCommand(connection, ECommand::CloseDrive, 'P');
    WriteAck(connection);
    ExpectCommand(connection, ECommand::CloseDrive, 'Q');
  });
  Connect();
  EXPECT_EQ(OstCloseDrive(26), 0);
  EXPECT_EQ(OstGetMemoryUsage(26), 0u);
  EXPECT_EQ(OstCloseDrive(13), 1);
  EXPECT_EQ(OstGetLastError('N'), 0);
  g_Drives[14].state = DriveState::Opening;
  EXPECT_EQ(OstCloseDrive(14), 1);
  EXPECT_EQ(OstGetLastError('O'), 0);
  EXPECT_EQ(g_Drives[14].state, DriveState::Closed);
  // A refused close keeps its use, the next one gives it back, and then none is left to give.
  g_Drives[15].state = DriveState::Open;
  g_Drives[15].serviceUses = 1;
  EXPECT_EQ(OstCloseDrive(15), 1);
  EXPECT_EQ(OstGetLastError('P'), ERR_OPEN_IN_PROGRESS.code);
  EXPECT_EQ(g_Drives[15].state, DriveState::Closed);
  EXPECT_EQ(OstCloseDrive(15), 1);
  EXPECT_EQ(OstGetLastError('P'), 0);
  EXPECT_EQ(OstCloseDrive(15), 1);
  EXPECT_EQ(g_Drives[15].serviceUses, 0u);
  // The service goes away before it answers.
  g_Drives[16].state = DriveState::Open;
  g_Drives[16].serviceUses = 1;
  EXPECT_EQ(OstCloseDrive(16), 0);
  EXPECT_EQ(OstGetLastError('Q'), 3009);
  EXPECT_EQ(g_Drives[16].state, DriveState::Open);
}

// Counts the mappings of a section in this process.
int MappingsOf(const WString& sectionName) {
  const std::string file = ostrin::platform::SectionPath(sectionName);
  std::ifstream maps("/proc/self/maps");
  int count = 0;
  for (std::string line; std::getline(maps, line);) {
    if (line.size() >= file.size() && line.compare(line.size() - file.size(), file.size(), file) == 0) ++count;
  }
  return count;
}

TEST_F(ClientDriveTest, ReopeningADriveReleasesTheOldViewAndRefusesItsFindHandles) {
  const CPublishedImage first = SmallImage();
  const CPublishedImage second = SmallImage();
  CFakeService service([&](CSockStream& connection) {
    Greet(connection);
    ostrin::test::ServeOpen(connection, 'Q', first.Name(), first.Size());
    ostrin::test::ServeOpen(connection, 'Q', second.Name(), second.Size());
    ExpectCommand(connection, ECommand::CloseDrive, 'Q');
    WriteAck(connection);
    ostrin::test::ServeOpen(connection, 'Q', first.Name(), first.Size());
  });
  Connect();
  ASSERT_EQ(OstOpenDrive('Q', nullptr, 0), 16);
  EXPECT_EQ(MappingsOf(first.Name()), 1);
  WIN32_FIND_DATAW data{};
  OST_FIND_HANDLE find = OstFindFirstFile(16, WTEXT("\\*"), &data);
  ASSERT_NE(find, nullptr);

  ASSERT_EQ(OstOpenDrive('Q', nullptr, 0), 16);
  EXPECT_EQ(MappingsOf(first.Name()), 0);
  EXPECT_EQ(MappingsOf(second.Name()), 1);
  EXPECT_EQ(OstFindNextFile(find, &data), 0);
  EXPECT_EQ(OstGetLastError('Q'), 3001);

  // Closed and opened again on the very same section: the handle still belongs to the old view.
  ASSERT_EQ(OstCloseDrive(16), 1);
  EXPECT_EQ(MappingsOf(second.Name()), 0);
  EXPECT_EQ(OstFindNextFile(find, &data), 0);
  EXPECT_EQ(OstGetLastError('Q'), 3001);
  ASSERT_EQ(OstOpenDrive('Q', nullptr, 0), 16);
  EXPECT_EQ(OstFindNextFile(find, &data), 0);
  EXPECT_EQ(OstGetLastError('Q'), 3001);
  OstFindClose(find);
}

}  // namespace
