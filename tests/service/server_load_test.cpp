// The server under load: a full thread table, many clients working on one drive at once, many opens
// on one connection, and a stop with idle clients. Every test ends with a stop that must join every
// thread (exit code 0; the sanitizers report leaks and races at that exit).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

#include "common/text.h"
#include "tests/service/server_process.h"
#include "tests/service/server_test_timings.h"
#include "tests/support/made_volume.h"

namespace {

using ostrin::test::CRawClient;
using ostrin::test::CServerProcess;
using ostrin::test::IsSectionNameOf;
using ostrin::test::SOpenResult;
using ostrin::test::SServerOptions;

constexpr uint32_t OPEN = 3, CLOSE = 8, QUIT = 9;
constexpr uint32_t OPEN_DONE = 4;
constexpr size_t CONNECTION_ENTRIES = 256;
const std::string THREAD_START_FAILED = "Error: service thread creation failed, connection closed";
const std::string HELLO_TIMEOUT = "Error: no Hello within 1 s of the connect, connection closed";
const std::string DROPPED_NOTE = " events of connections and open jobs not written: too many in a short time";

class ServerLoadTest : public CSocketLibraryTest {};

// The server of a test of many connections. Under Wine a read of the TCP table, which the user
// lookup makes for each connection, takes seconds with hundreds of them open: there each connection
// counts as the service's own user. (Every other test looks its users up, and on Windows these too.)
SServerOptions ManyConnections() {
#ifdef _WIN32
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  if (ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr) {
    return SServerOptions().TestProgram().Environment(ENV_PEERS_ARE_THE_SERVICE_USER, "1");
  }
#endif
  return SServerOptions();
}

TEST_F(ServerLoadTest, ConnectionsThatFillTheTableRefuseTheNextConnectionButNoOpen) {
  const auto empty = ostrin::test::MadeVolume("empty");
  const uint64_t imageSize = ostrin::test::ExpectedImageSize(empty.image);
  // A lower-case letter: the section carries the letter as sent, and no other test sends this one.
  CServerProcess server(ManyConnections().Volume('W', empty.image));
  server.Start();
  std::vector<std::unique_ptr<CRawClient>> clients;
  for (size_t i = 0; i < CONNECTION_ENTRIES; ++i) {
    clients.push_back(std::make_unique<CRawClient>(server.Port()));
    clients.back()->Hello();
    ASSERT_FALSE(HasFatalFailure()) << "connection " << i;
  }
  {
    // Accepted by the system and closed at once by the server, without a byte.
    CRawClient refused(server.Port());
    EXPECT_TRUE(refused.ClosedByServer());
  }
  EXPECT_TRUE(server.WaitForTextEvent(THREAD_START_FAILED));
  // Open jobs have entries of their own: connections that hold all of theirs still open and list.
  for (const size_t i : {size_t{0}, CONNECTION_ENTRIES - 1}) {
    const SOpenResult open = clients[i]->Open('w');
    EXPECT_EQ(open.end, OPEN_DONE) << i << ": " << open.errorCode << " " << open.errorText;
    EXPECT_TRUE(clients[i]->ExpectImage('W', u'w', imageSize)) << i;
    clients[i]->SendCommand(CLOSE, 'W');
    EXPECT_TRUE(clients[i]->ExpectAck()) << i;
  }
  // One leaves; its entry serves a new connection as soon as its thread has ended.
  clients.front()->Close();
  bool served = false;
  for (int attempt = 0; attempt < 200 && !served; ++attempt) {
    CRawClient next(server.Port());
    try {
      next.Send(CBytes().U32(2).U32(0x29052020).U32(1));
      served = next.ReadU32() == 1;
    } catch (const CSockException&) {
      // Refused while the leaving thread had not ended yet.
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  EXPECT_TRUE(served);
  clients.clear();
  EXPECT_EQ(server.Stop(), 0);
  // The refusals, and nothing else: a run of them is written as its first and its count.
  EXPECT_GE(server.CountFailures(THREAD_START_FAILED), 1u);
  EXPECT_EQ(server.CountTextEventsStartingWith("Error: "), server.CountTextEventsStartingWith(THREAD_START_FAILED));
}

// Connections that never say Hello: they fill the table until their Hello time (1 s here) has passed,
// then each is closed, while a client past its Hello stays, opens and lists, and new clients are served.
TEST_F(ServerLoadTest, SilentConnectionsAreClosedAtTheirHelloTimeAndOthersGoOn) {
  const auto empty = ostrin::test::MadeVolume("empty");
  const uint64_t imageSize = ostrin::test::ExpectedImageSize(empty.image);
  CServerProcess server(
      ManyConnections().TestProgram().Volume('V', empty.image).Environment(ENV_HELLO_TIMEOUT_SECONDS, "1"));
  server.Start();
  CRawClient speaking(server.Port());
  speaking.Hello();
  std::vector<std::unique_ptr<CRawClient>> silent;
  for (size_t i = 1; i < CONNECTION_ENTRIES; ++i) silent.push_back(std::make_unique<CRawClient>(server.Port()));
  const SOpenResult open = speaking.Open('V');
  EXPECT_EQ(open.end, OPEN_DONE) << open.errorCode << " " << open.errorText;
  EXPECT_TRUE(speaking.ExpectImage('V', u'V', imageSize));
  for (size_t i = 0; i < silent.size(); ++i) EXPECT_TRUE(silent[i]->ClosedByServer()) << i;
  // Long past its Hello time, the client that said Hello is still served.
  EXPECT_TRUE(speaking.Silent(1500));
  EXPECT_TRUE(speaking.ExpectImage('V', u'V', imageSize));
  CRawClient later(server.Port());
  later.Hello();
  EXPECT_EQ(later.Open('V').end, OPEN_DONE);
  EXPECT_TRUE(later.ExpectImage('V', u'V', imageSize));
  later.Close();
  speaking.Close();
  EXPECT_EQ(server.Stop(), 0);
  // One event for each, or counted among those the rate of events left unwritten (the only other
  // events of connections here).
  const size_t written = server.CountTextEvents(HELLO_TIMEOUT);
  EXPECT_GE(written, 1u);
  EXPECT_EQ(written + server.CountDroppedEvents(), silent.size()) << server.EventLogText();
  size_t notes = 0;
  for (const std::string& event : server.Events()) notes += event.find(DROPPED_NOTE) != std::string::npos ? 1 : 0;
  EXPECT_EQ(server.CountTextEventsStartingWith("Error: "), written + notes);
}

// A hundred clients connect at the same moment: every one is served (the listen backlog takes them
// all; a short one drops the SYNs past it, and their clients wait for a retransmission).
TEST_F(ServerLoadTest, ABurstOfAHundredConnectsIsServed) {
  constexpr int CLIENTS = 100;
  CServerProcess server(ManyConnections());
  server.Start();
  std::atomic<int> served{0};
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (int c = 0; c < CLIENTS; ++c) {
    threads.emplace_back([&] {
      while (!go.load()) std::this_thread::yield();
      try {
        CRawClient client(server.Port());
        client.Hello();
        client.SendCode(QUIT);
        if (client.ExpectAck()) ++served;
      } catch (const CSockException&) {
        // Counted as not served.
      }
    });
  }
  const auto start = std::chrono::steady_clock::now();
  go = true;
  for (std::thread& thread : threads) thread.join();
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
  EXPECT_EQ(served.load(), CLIENTS);
  std::cout << CLIENTS << " clients connected at once, served in " << took.count() << " ms\n";
  EXPECT_EQ(server.Stop(), 0);
  EXPECT_EQ(server.CountTextEventsStartingWith("Error: "), 0u) << server.EventLogText();
}

TEST_F(ServerLoadTest, FiftyClientsOpenReadAndCloseOneDriveAtOnce) {
  constexpr int CLIENTS = 50;
  constexpr int MAX_CYCLES = 40;
  const auto small = ostrin::test::MadeVolume("bulk-small");
  const uint64_t imageSize = ostrin::test::ExpectedImageSize(small.image);
  std::vector<uint32_t> built = ostrin::test::ExpectedProgress(small.image);
  built.push_back(100);
  CServerProcess server(ManyConnections().Volume('Z', small.image));
  server.Start();

  std::atomic<int> cycles{0};
  std::atomic<int> builds{0};
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  std::vector<std::thread> threads;
  for (int c = 0; c < CLIENTS; ++c) {
    threads.emplace_back([&] {
      CRawClient client(server.Port());
      client.Hello();
      for (int i = 0; i < MAX_CYCLES && std::chrono::steady_clock::now() < deadline; ++i) {
        const SOpenResult open = client.Open('Z');
        ASSERT_EQ(open.end, OPEN_DONE) << open.errorCode << " " << open.errorText;
        // Either this open built the drive, or it found the image.
        if (!open.progress.empty()) {
          EXPECT_EQ(open.progress, built);
          ++builds;
        }
        std::u16string name;
        uint64_t size = 0;
        ASSERT_TRUE(client.ReadDir('Z', &name, &size));
        EXPECT_TRUE(IsSectionNameOf(name, u'Z'));
        EXPECT_EQ(size, imageSize);
        client.SendCommand(CLOSE, 'Z');
        ASSERT_TRUE(client.ExpectAck());
        ++cycles;
      }
      client.SendCode(QUIT);
      EXPECT_TRUE(client.ExpectAck());
      EXPECT_TRUE(client.ClosedByServer());
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_GE(cycles, CLIENTS);
  EXPECT_GE(builds, 1);
  std::cout << cycles << " open-read-close cycles, " << builds << " builds\n";

  // Every reference was given back.
  CRawClient last(server.Port());
  last.Hello();
  int32_t code = 0;
  EXPECT_FALSE(last.ReadDir('Z', nullptr, nullptr, &code));
  EXPECT_EQ(code, 2007);
  last.Close();
  EXPECT_EQ(server.Stop(), 0);
  EXPECT_EQ(server.CountTextEventsStartingWith("Error: "), 1u) << "only the last ReadDir";
}

TEST_F(ServerLoadTest, ManyOpensOnOneConnectionNeverRunOutOfJobThreads) {
  // More open jobs than the table has entries, well inside the few seconds between two reaps of an
  // idle accept loop: the commands go out in batches without waiting for their replies. The replies
  // of the connection thread and the messages of the jobs then race for the connection.
  constexpr int BATCHES = 3;
  constexpr int OPENS_PER_BATCH = 100;
  const auto empty = ostrin::test::MadeVolume("empty");
  CServerProcess server(SServerOptions().Volume('Y', empty.image));
  server.Start();
  CRawClient client(server.Port());
  client.Hello();
  for (int batch = 0; batch < BATCHES; ++batch) {
    CBytes opens;
    for (int i = 0; i < OPENS_PER_BATCH; ++i) opens.U32(3).U32('Y');
    client.Send(opens);
    int acks = 0;
    int done = 0;
    while (acks < OPENS_PER_BATCH || done < OPENS_PER_BATCH) {
      const uint32_t code = client.ReadU32();
      if (code == 1) {
        ++acks;
      } else if (code == 5) {
        EXPECT_EQ(client.ReadU32(), uint32_t{'Y'});
        EXPECT_EQ(client.ReadU32(), 100u);
      } else if (code == OPEN_DONE) {
        EXPECT_EQ(client.ReadU32(), uint32_t{'Y'});
        ++done;
        // Each job's first message comes after the Ack of the command that started it.
        ASSERT_LE(done, acks) << "batch " << batch;
      } else {
        FAIL() << "batch " << batch << ": message " << code << " after " << acks << " Acks: "
               << client.ReadU32() << " " << std::string(WideToUtf8(ostrin::test::NativeText(client.ReadWireString())));
      }
    }
    CBytes closes;
    for (int i = 0; i < OPENS_PER_BATCH; ++i) closes.U32(CLOSE).U32('Y');
    client.Send(closes);
    for (int i = 0; i < OPENS_PER_BATCH; ++i) ASSERT_TRUE(client.ExpectAck());
    int32_t code = 0;
    EXPECT_FALSE(client.ReadDir('Y', nullptr, nullptr, &code)) << "every open was matched by its close";
    EXPECT_EQ(code, 2007);
  }
  client.Close();
  EXPECT_EQ(server.Stop(), 0);
  EXPECT_EQ(server.CountTextEventsStartingWith("Error: "), BATCHES) << "only the ReadDirs";
}

TEST(ServerStopTest, OpensArrivingDuringTheStopDoNotHoldItUp) {
  // Connection threads keep registering open jobs while the stop waits for the thread table.
  const auto empty = ostrin::test::MadeVolume("empty");
  CServerProcess server(SServerOptions().Volume('Y', empty.image));
  server.Start();
  std::vector<std::thread> flooders;
  std::atomic<int> flooding{0};
  for (int c = 0; c < 12; ++c) {
    flooders.emplace_back([&] {
      CBytes opens;
      for (int i = 0; i < 20; ++i) opens.U32(3).U32('Y').U32(8).U32('Y');
      try {
        CRawClient client(server.Port());
        // A connection that comes after the stop began is ended without an answer to its Hello.
        client.Send(CBytes().U32(2).U32(0x29052020).U32(1));
        if (client.ReadU32() != 1) return;
        ++flooding;
        for (;;) {
          client.Send(opens);
          // Replies are read only to keep the server's writes flowing.
          client.Read(20 * (4 + 8 + 4));
        }
      } catch (const CSockException&) {
        // The stop ended the connection (or came before it).
      }
    });
  }
  // The stop comes once the flood runs, whatever the time the connections take to get going.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (flooding.load() < 12 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(server.Stop(), 0);
  for (std::thread& thread : flooders) thread.join();
  EXPECT_EQ(flooding.load(), 12) << "every connection was flooding opens when the stop came";
}

TEST(ServerStopTest, IdleClientsAreClosedAndTheServiceStops) {
  CServerProcess server;
  server.Start();
  std::vector<std::unique_ptr<CRawClient>> clients;
  for (int i = 0; i < 3; ++i) {
    clients.push_back(std::make_unique<CRawClient>(server.Port()));
    if (i > 0) clients.back()->Hello();  // one has not even said Hello
  }
  server.RequestStop();
  // Each connection thread notices the stop after its current 5-second read at the latest.
  for (auto& client : clients) EXPECT_TRUE(client->ClosedByServer(20000));
  EXPECT_EQ(server.Stop(), 0);
  const std::vector<std::string> events = server.Events();
  EXPECT_NE(std::find(events.begin(), events.end(), "information 109 The service was stopped."), events.end());
  EXPECT_EQ(server.CountTextEventsStartingWith("Error: "), 0u);
}

}  // namespace
