// OstConnect, OstDisconnect and the error getters, against a scripted stand-in for the service.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "client/OstrinAPI.h"
#include "client/client_state.h"
#include "common/protocol.h"
#include "tests/client/fake_service.h"

namespace {

using ostrin::test::CFakeService;

constexpr char CANNOT_CONNECT[] = "Error: Can not connect to OstrinNT service. Is the service running?\n";
constexpr char PROTOCOL_ERROR[] = "Error: OstrinNT protocol error.\n";
constexpr char COMMUNICATION_ERROR[] = "Error: OstrinNT communication error.\n";

class ClientConnectionTest : public ::testing::Test {
 protected:
  // Failed waits last a second instead of 30.
  void SetUp() override { g_Connection.timeoutSeconds = 1; }

  // Runs OstConnect and gives its result and what it showed the user.
  static int32_t Connect(std::string* shown) {
    ::testing::internal::CaptureStderr();
    const int32_t result = OstConnect();
    *shown = ::testing::internal::GetCapturedStderr();
    return result;
  }
};

TEST_F(ClientConnectionTest, ConnectGreetsTheService) {
  CFakeService service([](CSockStream& connection) {
    ostrin::test::Greet(connection);
    CODE_MESSAGE quit{};
    connection.Read(&quit, sizeof quit);
    EXPECT_EQ(quit.code, WireCode(ECommand::Quit));
    WriteAck(connection);
  });
  std::string shown;
  EXPECT_EQ(Connect(&shown), 1);
  EXPECT_EQ(shown, "");
  EXPECT_EQ(OstDisconnect(), 1);
  // Closed before the socket library is cleaned up: on Windows the last cleanup resets the process's
  // sockets, and a handle kept past it could name another socket of the program at the next connect.
  EXPECT_FALSE(g_Connection.handle.IsValid());
}

TEST_F(ClientConnectionTest, ADisconnectTheServiceDoesNotAnswerStillClosesTheConnection) {
  CFakeService service([](CSockStream& connection) { ostrin::test::Greet(connection); });
  std::string shown;
  ASSERT_EQ(Connect(&shown), 1);
  service.Join();
  EXPECT_EQ(OstDisconnect(), 0);
  EXPECT_FALSE(g_Connection.handle.IsValid());
}

TEST_F(ClientConnectionTest, ConnectShowsWhyItFailed) {
  std::string shown;
  // No service listening.
  EXPECT_EQ(Connect(&shown), 0);
  EXPECT_EQ(shown, CANNOT_CONNECT);
  EXPECT_FALSE(g_Connection.handle.IsValid());

  {
    // Hello refused: the socket is closed.
    CFakeService service([](CSockStream& connection) {
      ostrin::test::ExpectHello(connection);
      WriteErrorReply(connection, ERR_WRONG_PROTOCOL_VERSION);
      ostrin::test::ClientSilent(connection, 2000);
    });
    EXPECT_EQ(Connect(&shown), 0);
    EXPECT_EQ(shown, PROTOCOL_ERROR);
    EXPECT_FALSE(g_Connection.handle.IsValid());
  }
  {
    // The service closes the connection before answering Hello: the socket stays.
    CFakeService service([](CSockStream& connection) { ostrin::test::ExpectHello(connection); });
    EXPECT_EQ(Connect(&shown), 0);
    EXPECT_EQ(shown, COMMUNICATION_ERROR);
    EXPECT_TRUE(g_Connection.handle.IsValid());
  }
  {
    // The service says nothing.
    CFakeService service([](CSockStream& connection) {
      ostrin::test::ExpectHello(connection);
      ostrin::test::ClientSilent(connection, 3000);
    });
    EXPECT_EQ(Connect(&shown), 0);
    EXPECT_EQ(shown, COMMUNICATION_ERROR);
  }
}

TEST_F(ClientConnectionTest, ReconnectAfterTheServiceWentAwayGivesAUsableStream) {
  {
    CFakeService service([](CSockStream& connection) { ostrin::test::Greet(connection); });
    std::string shown;
    ASSERT_EQ(Connect(&shown), 1);
    service.Join();
    // The service has gone: the open fails and the stream knows it is closed.
    EXPECT_EQ(OstOpenDrive('D', nullptr, 0), -1);
    EXPECT_EQ(OstGetLastError('D'), 3009);
    EXPECT_TRUE(g_Connection.closed);
  }
  CFakeService service([](CSockStream& connection) {
    ostrin::test::Greet(connection);
    ostrin::test::ExpectCommand(connection, ECommand::OstrinOpenDrive, 'D');
    WriteErrorReply(connection, ERR_OPEN_THREAD_FAILED);
  });
  std::string shown;
  ASSERT_EQ(Connect(&shown), 1);
  EXPECT_FALSE(g_Connection.closed);
  EXPECT_EQ(OstOpenDrive('D', nullptr, 0), -1);
  EXPECT_EQ(OstGetLastError('D'), ERR_OPEN_THREAD_FAILED.code);
}

TEST_F(ClientConnectionTest, DisconnectWithoutAConnectionFails) { EXPECT_EQ(OstDisconnect(), 0); }

TEST_F(ClientConnectionTest, ErrorGettersReadTheDriveRecord) {
  g_Drives[2].StoreError(2007, WTEXT("OstrinReadDir: specified drive is not open"));
  EXPECT_EQ(OstGetLastError('c'), 2007);
  EXPECT_EQ(OstGetLastError('C'), 2007);
  EXPECT_EQ(OstGetLastError('1'), 3000);
  EXPECT_EQ(OstGetLastError('['), 3000);

  WCHAR buffer[64];
  std::fill(std::begin(buffer), std::end(buffer), WCHAR{'#'});
  EXPECT_EQ(OstGetLastErrorString('1', buffer, 64), -1);
  EXPECT_EQ(buffer[0], '#');

  const int32_t size = OstGetLastErrorString('c', nullptr, 0);
  EXPECT_EQ(size, 43);
  // Too small: no text, only an empty string.
  EXPECT_EQ(OstGetLastErrorString('c', buffer, 42), 43);
  EXPECT_EQ(buffer[0], 0);
  EXPECT_EQ(buffer[1], '#');
  EXPECT_EQ(OstGetLastErrorString('C', buffer, 43), 43);
  EXPECT_EQ(WString(buffer), WTEXT("OstrinReadDir: specified drive is not open"));

  // No error: length 1 and a lone terminator.
  buffer[0] = '#';
  EXPECT_EQ(OstGetLastErrorString('z', buffer, 64), 1);
  EXPECT_EQ(buffer[0], 0);
  EXPECT_EQ(OstGetLastErrorString('z', nullptr, 0), 1);
}

}  // namespace
