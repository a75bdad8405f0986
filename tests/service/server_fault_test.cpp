// The server under faults: accepts that fail for want of descriptors, a connection that sends only
// garbage, a client that never reads, a service killed with its drives open, and the readiness report
// to the service manager.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/resource.h>
#include <sys/socket.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/un.h>
#include <unistd.h>
#endif

#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/shared_section.h"
#include "platform/socket.h"
#include "tests/service/event_log_file.h"
#include "tests/service/server_process.h"
#include "tests/service/server_test_timings.h"
#include "tests/support/made_volume.h"

namespace {

using ostrin::test::CRawClient;
using ostrin::test::CServerProcess;
using ostrin::test::IsSectionNameOf;
using ostrin::test::SServerOptions;
namespace platform = ostrin::platform;

constexpr uint32_t HELLO = 2, CLOSE = 8, QUIT = 9, READ_DIR = 10;
constexpr uint32_t OPEN_DONE = 4;
const std::u16string UNKNOWN_COMMAND = u"received unknown command";
const std::string ACCEPT_FAILED = "Error: accept() failed";
constexpr int UNKNOWN_LIMIT = 16;

CBytes HelloBytes() { return CBytes().U32(HELLO).U32(0x29052020).U32(1); }

class ServerFaultTest : public CSocketLibraryTest {};

// Descriptor limits, the stale sections a killed service leaves and systemd's readiness report exist on
// Linux only; tests/windows/skip-list names these tests.
#ifndef _WIN32
// The lowest descriptor number a process does not hold: the limit on open files bounds the numbers
// of new descriptors, not their count (a process may hold a high one, such as a sanitizer's pipe).
size_t LowestFreeDescriptor(pid_t pid) {
  std::set<size_t> held;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
    held.insert(std::stoul(entry.path().filename().string()));
  }
  size_t lowest = 0;
  while (held.count(lowest) != 0) ++lowest;
  return lowest;
}

// The same once the process has settled (the start-up probe's connection has ended).
size_t SettledLowestFreeDescriptor(pid_t pid) {
  size_t last = LowestFreeDescriptor(pid);
  for (int i = 0; i < 100; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const size_t now = LowestFreeDescriptor(pid);
    if (now == last) return now;
    last = now;
  }
  return last;
}

void SetOpenFileLimit(pid_t pid, rlim_t soft) {
  rlimit limit = {};
  ASSERT_EQ(::prlimit(pid, RLIMIT_NOFILE, nullptr, &limit), 0);
  limit.rlim_cur = soft;
  ASSERT_EQ(::prlimit(pid, RLIMIT_NOFILE, &limit, nullptr), 0) << std::strerror(errno);
}

rlim_t OpenFileLimit(pid_t pid) {
  rlimit limit = {};
  EXPECT_EQ(::prlimit(pid, RLIMIT_NOFILE, nullptr, &limit), 0);
  return limit.rlim_cur;
}

TEST_F(ServerFaultTest, AcceptFailuresAreWrittenOnceAndTheLoopWaitsBetweenThem) {
  CServerProcess server;
  server.Start();
  const auto pid = static_cast<pid_t>(server.Pid());
  const rlim_t previous = OpenFileLimit(pid);
  {
    // One connection served first: what serving one sets up once for good (the sanitizers' checks of
    // the types it makes) is done before the descriptors run out.
    CRawClient served(server.Port());
    served.Send(HelloBytes());
    EXPECT_TRUE(served.ExpectAck());
  }
  // Not one descriptor left: every accept fails with EMFILE while the connections below wait.
  SetOpenFileLimit(pid, SettledLowestFreeDescriptor(pid));
  std::vector<std::unique_ptr<CRawClient>> waiting;
  // A burst of clients: each connect completes in the kernel without an accept, in the listen backlog.
  // They connect side by side, so that a backlog too short (one that drops the SYNs past it until the
  // service accepts again) fails the test within one SYN time-out.
  waiting.resize(40);
  std::vector<std::thread> connecting;
  for (auto& client : waiting) {
    connecting.emplace_back([&client, &server] {
      try {
        client = std::make_unique<CRawClient>(server.Port());
      } catch (const CSockException&) {
      }
    });
  }
  for (std::thread& thread : connecting) thread.join();
  for (const auto& client : waiting) ASSERT_NE(client, nullptr) << "a connect was refused or timed out";
  ASSERT_TRUE(server.WaitForTextEvent(ACCEPT_FAILED));
  std::this_thread::sleep_for(std::chrono::seconds(1));
  EXPECT_EQ(server.CountTextEventsStartingWith(ACCEPT_FAILED), 1u) << "a run of failures is written once";

  // Descriptors again: the waiting connections are accepted, and the run is written with its length.
  SetOpenFileLimit(pid, previous);
  for (auto& client : waiting) {
    client->Send(HelloBytes());
    EXPECT_TRUE(client->ExpectAck());
  }
  ASSERT_TRUE(server.WaitForTextEvent(ACCEPT_FAILED + " ("));
  const std::vector<std::string> events = server.Events();
  std::string run;
  for (const std::string& event : events) {
    if (event.rfind("warning 108 " + ACCEPT_FAILED + " (", 0) == 0) run = event.substr(12);
  }
  unsigned count = 0;
  char tail[32] = {};
  ASSERT_EQ(std::sscanf(run.c_str(), "Error: accept() failed (%u %31[^)])", &count, tail), 2) << run;
  EXPECT_STREQ(tail, "times in a row");
  // One accept per 100 ms over about a second; a loop that spun would have tried tens of thousands.
  EXPECT_GE(count, 2u) << run;
  EXPECT_LE(count, 100u) << run;
  EXPECT_EQ(server.CountTextEventsStartingWith(ACCEPT_FAILED), 2u);
  waiting.clear();
  EXPECT_EQ(server.Stop(), 0);
}

// A connection from another loopback address: in OstrinNT-test with users told by the peer's address,
// another local user (Linux routes all of 127.0.0.0/8 to the loopback).
class CConnectionFrom {
 public:
  CConnectionFrom(const char* from, uint16_t port) {
    const platform::SocketHandle socket = platform::CreateTcpSocket();
    m_stream.handle.Reset(socket);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    ::inet_pton(AF_INET, from, &local.sin_addr);
    EXPECT_EQ(::bind(static_cast<int>(socket), reinterpret_cast<const sockaddr*>(&local), sizeof local), 0)
        << std::strerror(errno);
    uint32_t loopback = 0;
    ::inet_pton(AF_INET, "127.0.0.1", &loopback);
    EXPECT_TRUE(platform::ConnectSocket(socket, loopback, port)) << std::strerror(errno);
    m_stream.timeoutSeconds = 20;
  }

  // Hello answered with its Ack; false when the server closed the connection instead.
  bool Hello() {
    try {
      const CBytes hello = HelloBytes();
      m_stream.Write(hello.bytes.data(), hello.bytes.size());
      return m_stream.ReadU32() == 1;
    } catch (const CSockException&) {
      return false;
    }
  }

 private:
  CSockStream m_stream{ESockSide::Client};
};

TEST_F(ServerFaultTest, EachUserHoldsAtMostItsConnectionsPerUser) {
  constexpr int LIMIT = 3;
  CServerProcess server(SServerOptions()
                            .TestProgram()
                            .Environment(ENV_USERS_BY_PEER_ADDRESS, "1")
                            .Line("connections_per_user = " + std::to_string(LIMIT)));
  server.Start();
  std::vector<std::unique_ptr<CConnectionFrom>> first;
  for (int i = 0; i < LIMIT; ++i) {
    first.push_back(std::make_unique<CConnectionFrom>("127.0.0.2", server.Port()));
    EXPECT_TRUE(first.back()->Hello()) << i;
  }
  // One more of the same user is closed; their runs of refusals are one event and a count.
  for (int i = 0; i < 3; ++i) EXPECT_FALSE(CConnectionFrom("127.0.0.2", server.Port()).Hello()) << i;
  // Another user is served, up to a limit of its own.
  std::vector<std::unique_ptr<CConnectionFrom>> second;
  for (int i = 0; i < LIMIT; ++i) {
    second.push_back(std::make_unique<CConnectionFrom>("127.0.0.3", server.Port()));
    EXPECT_TRUE(second.back()->Hello()) << i;
  }
  EXPECT_FALSE(CConnectionFrom("127.0.0.3", server.Port()).Hello());
  // A connection that ends gives its user room again, once its thread has ended.
  first.pop_back();
  bool served = false;
  for (int attempt = 0; attempt < 200 && !served; ++attempt) {
    served = CConnectionFrom("127.0.0.2", server.Port()).Hello();
    if (!served) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_TRUE(served);
  first.clear();
  second.clear();
  EXPECT_EQ(server.Stop(), 0);
  const std::string refused2 = "Error: a connection of user 127.0.0.2 closed: the user holds 3 connections already";
  const std::string refused3 = "Error: a connection of user 127.0.0.3 closed: the user holds 3 connections already";
  const std::string limit = " (connections_per_user)";
  EXPECT_GE(server.CountFailures(refused2 + limit), 3u) << server.EventLogText();
  EXPECT_GE(server.CountTextEvents(refused2 + limit + " (3 times in a row)"), 1u) << "the first run as its count";
  EXPECT_EQ(server.CountFailures(refused3 + limit), 1u);
}

#endif

TEST_F(ServerFaultTest, AConnectionOfUnknownCodesIsEndedAfterSixteenInARow) {
  CServerProcess server;
  server.Start();
  const auto garbage = [](int count) {
    CBytes bytes;
    const uint32_t codes[] = {0, 1, 4, 5, 6, 12, 0x41414141, 0xFFFFFFFF};
    for (int i = 0; i < count; ++i) bytes.U32(codes[i % 8]);
    return bytes;
  };
  struct Case {
    const char* name;
    std::vector<CBytes> parts;  // sent one after the other; each part's replies are read before the next
    std::vector<int> unknownReplies;  // 2008 replies expected for each part
    bool ended;
  };
  const std::vector<Case> cases = {
      {"exactly sixteen", {garbage(16)}, {16}, true},
      {"a known command between them starts the count again", {garbage(15), HelloBytes(), garbage(15)}, {15, 0, 15}, false},
      {"after a good start", {HelloBytes(), garbage(16)}, {0, 16}, true},
  };
  size_t unknownEvents = 0;
  size_t limitEvents = 0;
  for (const Case& c : cases) {
    CRawClient client(server.Port());
    for (size_t i = 0; i < c.parts.size(); ++i) {
      client.Send(c.parts[i]);
      if (c.unknownReplies[i] == 0) {
        EXPECT_TRUE(client.ExpectAck()) << c.name;
      }
      for (int reply = 0; reply < c.unknownReplies[i]; ++reply) {
        ASSERT_TRUE(client.ExpectError(2008, UNKNOWN_COMMAND)) << c.name << ", reply " << reply;
      }
      unknownEvents += static_cast<size_t>(c.unknownReplies[i]);
    }
    if (c.ended) {
      EXPECT_TRUE(client.ClosedByServer()) << c.name;
      ++limitEvents;
    } else {
      client.SendCode(QUIT);
      EXPECT_TRUE(client.ExpectAck()) << c.name;
      EXPECT_TRUE(client.ClosedByServer()) << c.name;
    }
    ASSERT_TRUE(server.WaitForFailures("Error: received unknown command", unknownEvents)) << c.name;
  }
  {
    // A flood: the server reads sixteen codes and no more. It closes with the rest unread, which
    // resets the connection, so the client may not get to read every reply before the reset.
    CRawClient client(server.Port());
    client.Send(garbage(1024));
    int replies = 0;
    while (replies <= UNKNOWN_LIMIT && client.ExpectError(2008, UNKNOWN_COMMAND)) ++replies;
    EXPECT_LE(replies, UNKNOWN_LIMIT) << "no reply after the sixteenth";
    unknownEvents += UNKNOWN_LIMIT;
    ++limitEvents;
    ASSERT_TRUE(server.WaitForTextEvent("Error: " + std::to_string(UNKNOWN_LIMIT), limitEvents));
  }
  EXPECT_EQ(server.CountFailures("Error: received unknown command"), unknownEvents);
  EXPECT_EQ(server.CountTextEvents("Error: " + std::to_string(UNKNOWN_LIMIT) + " unknown commands in a row, connection closed"),
            limitEvents);
  EXPECT_EQ(server.Stop(), 0);
}

// Floods of failing commands, 20,000 on a connection, sent while the replies are read. A run of one
// failure is written as its first and its count; failures that change from one command to the next
// are bounded by the service's rate of events (which does not refill here), and what it left unwritten
// is counted in one event at the stop. No Hello time cuts the flood before a Hello short.
TEST_F(ServerFaultTest, FloodsOfFailingCommandsWriteFewEventsThatCountThem) {
  constexpr size_t FLOOD = 20000;
  constexpr size_t EVENT_BUDGET = 64;
  const std::string OUT_OF_RANGE = "Error: drive letter out of range (A..Z)";
  const std::string NOT_AUTHENTICATED = "Error: command without prior authentication";
  const std::string NOT_OPEN = "Error: OstrinReadDir: specified drive is not open";
  CServerProcess server(SServerOptions()
                            .TestProgram()
                            .Environment(ENV_EVENTS_PER_SECOND, "0")
                            .Environment(ENV_HELLO_TIMEOUT_SECONDS, "3600"));
  server.Start();
  struct Command {
    uint32_t code;
    uint32_t letter;
    int32_t error;
    std::u16string text;
  };
  const Command closeZero{CLOSE, 0, 2000, u"drive letter out of range (A..Z)"};
  const Command readDirBeforeHello{READ_DIR, 'C', 2004, u"command without prior authentication"};
  const Command readDirNotOpen{READ_DIR, 'C', 2007, u"OstrinReadDir: specified drive is not open"};
  struct Case {
    const char* name;
    bool hello;
    std::vector<Command> commands;  // taken in turn
    std::string runText;            // the one failure of the row; empty when they change
  };
  const std::vector<Case> cases = {
      {"CloseDrive of letter 0", true, {closeZero}, OUT_OF_RANGE},
      {"OstrinReadDir before Hello", false, {readDirBeforeHello}, NOT_AUTHENTICATED},
      {"two failures in turn", true, {closeZero, readDirNotOpen}, ""},
  };
  for (const Case& c : cases) {
    const size_t before = server.CountFailures(OUT_OF_RANGE) + server.CountFailures(NOT_OPEN);
    CRawClient client(server.Port());
    if (c.hello) client.Hello();
    CBytes flood;
    for (size_t i = 0; i < FLOOD; ++i) {
      const Command& command = c.commands[i % c.commands.size()];
      flood.U32(command.code).U32(command.letter);
    }
    std::thread sender([&client, &flood] { client.Send(flood); });
    size_t replies = 0;
    for (; replies < FLOOD; ++replies) {
      const Command& command = c.commands[replies % c.commands.size()];
      if (!client.ExpectError(command.error, command.text)) break;
    }
    sender.join();
    EXPECT_EQ(replies, FLOOD) << c.name;
    client.Close();
    if (!c.runText.empty()) {
      // Its first, then its count once the connection has ended.
      EXPECT_TRUE(server.WaitForFailures(c.runText, FLOOD)) << c.name;
      EXPECT_EQ(server.CountFailures(c.runText), FLOOD) << c.name;
      EXPECT_EQ(server.CountTextEventsStartingWith(c.runText), 2u) << c.name;
    } else {
      EXPECT_EQ(server.Stop(), 0);
      const size_t written = server.CountFailures(OUT_OF_RANGE) + server.CountFailures(NOT_OPEN) - before;
      EXPECT_GE(written, 1u) << c.name;
      EXPECT_EQ(written + server.CountDroppedEvents(), FLOOD) << c.name;
    }
  }
  // The budget bounds every event of connections, the count of those it dropped aside.
  EXPECT_LE(server.CountTextEventsStartingWith("Error: "), EVENT_BUDGET + 1) << server.EventLogText();
}

// A volume whose reads stop answering past its first sectors (a device that hangs): the open that
// reads it is ended by its AbortOpen, the connection goes on, and the stop ends with a second open
// still in such a read.
TEST_F(ServerFaultTest, AReadThatNeverReturnsHoldsUpNeitherAbortNorStop) {
  constexpr uint32_t OPEN = 3, ABORT = 7, OPEN_ABORTED = 6, UNCHANGED = 0xFFFFFFFF;
  const auto empty = ostrin::test::MadeVolume("empty");
  // The volume's table starts at byte 16384: the open reads its first record itself, the scan's
  // workers read the records from the seventeenth on.
  const std::vector<std::pair<const char*, const char*>> hangs = {
      {"a read of the open itself", "8192"},
      {"a read of the scan's workers", "32768"},
  };
  for (const auto& [what, from] : hangs) {
    SCOPED_TRACE(what);
    CServerProcess server(
        SServerOptions().TestProgram().Volume('H', empty.image).Environment(ENV_HANG_READS_FROM_BYTE, from));
    server.Start();
    CRawClient aborting(server.Port());
    aborting.Hello();
    aborting.SendCommand(OPEN, 'H');
    ASSERT_TRUE(aborting.ExpectAck());
    // Time for the job to reach the read that never returns.
    std::this_thread::sleep_for(std::chrono::seconds(1));
    aborting.SendCommand(ABORT, 'H');
    const ostrin::test::SOpenResult aborted = aborting.ReadOpenMessages('H');
    EXPECT_NE(aborted.end, UNCHANGED) << "the open ended";
    EXPECT_TRUE(aborted.end == OPEN_ABORTED || aborted.end == 0) << aborted.end;
    EXPECT_NE(aborted.end, OPEN_DONE);
    aborting.SendCommand(CLOSE, 'H');
    EXPECT_TRUE(aborting.ExpectAck()) << "the connection is in step after it";

    CRawClient stopped(server.Port());
    stopped.Hello();
    stopped.SendCommand(OPEN, 'H');
    ASSERT_TRUE(stopped.ExpectAck());
    EXPECT_TRUE(stopped.Silent(1000));
    EXPECT_EQ(server.Stop(), 0);
  }
}

bool SectionExists(const std::u16string& name) {
  platform::CSectionView view;
  return view.Open(ostrin::test::NativeText(name));
}

TEST_F(ServerFaultTest, AClientThatNeverReadsIsEndedByTheWriteTimeOut) {
  const auto empty = ostrin::test::MadeVolume("empty");
  CServerProcess server(
      SServerOptions().TestProgram().Volume('V', empty.image).Environment(ENV_CONNECTION_TIMEOUT_SECONDS, "1"));
  server.Start();
  CRawClient stuck(server.Port());
  stuck.Hello();
  // A lower-case letter: the section carries the letter as sent, and no other test sends this one.
  ASSERT_EQ(stuck.Open('v').end, OPEN_DONE);
  std::u16string name;
  ASSERT_TRUE(stuck.ReadDir('v', &name, nullptr));

  // OstrinReadDir after OstrinReadDir, never reading a reply: once the socket buffers on both sides
  // are full, the server's write waits, and the connection ends after the write time-out.
  CBytes burst;
  for (int i = 0; i < 1024; ++i) burst.U32(READ_DIR).U32('v');
  const platform::SocketHandle socket = stuck.Stream().handle.Get();
  size_t sent = 0;
  for (;;) {
    const platform::SocketIoResult result = platform::SendSocket(socket, burst.bytes.data(), burst.bytes.size());
    if (result.status == platform::SocketIoStatus::Transferred) {
      sent += result.bytes;
      ASSERT_LT(sent, size_t{256} << 20) << "the server never stopped reading";
      continue;
    }
    // The server has ended the connection already.
    if (result.status == platform::SocketIoStatus::Broken) break;
    ASSERT_EQ(result.status, platform::SocketIoStatus::WouldBlock);
    // Full: the server reads nothing more while its own write waits.
    if (platform::WaitSocket(socket, platform::SocketReadiness::Writable, 500) == platform::SocketWait::TimedOut) break;
  }
  ASSERT_TRUE(server.WaitForTextEvent("Error: write socket: timeout")) << server.EventLogText();

  // The server closed the connection: what it wrote before can still be read, then the stream ends.
  bool ended = false;
  std::vector<unsigned char> buffer(1 << 16);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!ended && std::chrono::steady_clock::now() < deadline) {
    if (platform::WaitSocket(socket, platform::SocketReadiness::Readable, 1000) != platform::SocketWait::Ready) continue;
    const platform::SocketIoResult result = platform::ReceiveSocket(socket, buffer.data(), buffer.size());
    ended = result.status == platform::SocketIoStatus::PeerClosed || result.status == platform::SocketIoStatus::Broken;
  }
  EXPECT_TRUE(ended);

  // The drive went with the ended connection's use, and the service goes on.
  const auto closing = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  while (SectionExists(name) && std::chrono::steady_clock::now() < closing) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_FALSE(SectionExists(name));
  CRawClient other(server.Port());
  other.Hello();
  EXPECT_EQ(other.Open('v').end, OPEN_DONE);
  other.Close();
  stuck.Close();
  EXPECT_EQ(server.Stop(), 0);
  EXPECT_EQ(server.CountTextEvents("Error: write socket: timeout"), 1u);
}

#ifndef _WIN32

TEST_F(ServerFaultTest, SectionsOfAKilledServiceAreRemovedAtTheNextStart) {
  // Lower-case letters: the section names carry the letter as sent, and no other test sends these.
  const auto empty = ostrin::test::MadeVolume("empty");
  CServerProcess killed(SServerOptions().Volume('K', empty.image));
  CServerProcess running(SServerOptions().Volume('L', empty.image));
  killed.Start();
  running.Start();
  CRawClient ofKilled(killed.Port());
  ofKilled.Hello();
  ASSERT_EQ(ofKilled.Open('k').end, OPEN_DONE);
  std::u16string killedName;
  ASSERT_TRUE(ofKilled.ReadDir('k', &killedName, nullptr));
  CRawClient ofRunning(running.Port());
  ofRunning.Hello();
  ASSERT_EQ(ofRunning.Open('l').end, OPEN_DONE);
  std::u16string runningName;
  ASSERT_TRUE(ofRunning.ReadDir('l', &runningName, nullptr));

  // A client maps the killed service's image before the kill, and keeps it.
  platform::CSectionView view;
  ASSERT_TRUE(view.Open(killedName));
  ASSERT_TRUE(view.Map());
  const std::vector<unsigned char> image(static_cast<const unsigned char*>(view.Data()),
                                         static_cast<const unsigned char*>(view.Data()) + view.Size());
  // Nothing removes the section at the kill. (Not checked here: a service of another test that starts
  // at this moment removes it as well.)
  killed.Kill();

  CServerProcess restarted;
  restarted.Start();
  EXPECT_FALSE(SectionExists(killedName));
  EXPECT_TRUE(SectionExists(runningName)) << "a running service's section is never taken";
  EXPECT_EQ(std::vector<unsigned char>(static_cast<const unsigned char*>(view.Data()),
                                       static_cast<const unsigned char*>(view.Data()) + view.Size()),
            image)
      << "the client still reads the old image";
  // Another service that starts in the meantime (tests run side by side) may have removed it first.
  for (const std::string& event : restarted.Events()) {
    if (event.find("drive sections left behind") != std::string::npos) {
      EXPECT_EQ(event, "warning 108 Drive sections left behind by a service that had ended without closing them: 1 removed");
    }
  }

  // The running service still serves its drive.
  std::u16string name;
  EXPECT_TRUE(ofRunning.ReadDir('l', &name, nullptr));
  EXPECT_EQ(name, runningName);
  ofRunning.Close();
  EXPECT_EQ(running.Stop(), 0);
  EXPECT_FALSE(SectionExists(runningName));
  EXPECT_EQ(restarted.Stop(), 0);
}

// A stand-in for systemd's notify socket: a datagram socket bound to a path or an abstract name.
class CNotifySocket {
 public:
  explicit CNotifySocket(const std::string& name) : m_name(name) {
    m_fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, name.data(), name.size());
    if (name[0] == '@') address.sun_path[0] = '\0';
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size() + (name[0] == '/' ? 1 : 0));
    EXPECT_EQ(::bind(m_fd, reinterpret_cast<const sockaddr*>(&address), length), 0) << std::strerror(errno);
  }
  ~CNotifySocket() {
    ::close(m_fd);
    if (m_name[0] == '/') ::unlink(m_name.c_str());
  }

  // The next datagram, or "" when none comes within timeoutMs.
  std::string Receive(int timeoutMs) {
    if (platform::WaitSocket(static_cast<platform::SocketHandle>(m_fd), platform::SocketReadiness::Readable,
                             timeoutMs) != platform::SocketWait::Ready) {
      return "";
    }
    char buffer[256] = {};
    const ssize_t got = ::recv(m_fd, buffer, sizeof buffer, 0);
    return got > 0 ? std::string(buffer, static_cast<size_t>(got)) : "";
  }

 private:
  std::string m_name;
  int m_fd = -1;
};

TEST_F(ServerFaultTest, ReadinessGoesToTheNotifySocketOnceTheServiceListens) {
  const std::string folder = MakeTestFolder();
  struct Case {
    const char* name;
    std::string notifySocket;
    bool listening;  // whether a stand-in listens there
  };
  const std::vector<Case> cases = {
      {"a socket in the file system", folder + "/notify", true},
      {"an abstract socket", "@ostrin-notify-" + std::to_string(::getpid()), true},
      {"nobody listening: the service runs all the same", folder + "/nobody", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::unique_ptr<CNotifySocket> manager;
    if (c.listening) manager = std::make_unique<CNotifySocket>(c.notifySocket);
    CServerProcess server(SServerOptions().Environment("NOTIFY_SOCKET", c.notifySocket));
    server.Start(!c.listening);
    if (c.listening) {
      ASSERT_EQ(manager->Receive(30000), "READY=1");
      // Ready means listening: a client started now is served at its first attempt.
      CRawClient client(server.Port());
      client.Send(HelloBytes());
      EXPECT_TRUE(client.ExpectAck());
      client.Close();
      server.RequestStop();
      EXPECT_EQ(manager->Receive(30000), "STOPPING=1");
      EXPECT_EQ(server.WaitForExit(30000), 0);
      EXPECT_EQ(manager->Receive(100), "") << "nothing more";
    } else {
      CRawClient client(server.Port());
      client.Send(HelloBytes());
      EXPECT_TRUE(client.ExpectAck());
      client.Close();
      EXPECT_EQ(server.Stop(), 0);
    }
  }
  std::filesystem::remove_all(folder);
}

#endif

}  // namespace
