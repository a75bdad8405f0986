// The wire protocol as the real OstrinNT program speaks it: every command and reply byte by byte,
// the error codes that cross the wire, the configuration's port, and the time-outs of a connection.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <fstream>
#include <string>
#include <thread>
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

constexpr uint32_t HELLO = 2, OPEN = 3, ABORT = 7, CLOSE = 8, QUIT = 9, READ_DIR = 10, DRIVE_INFO = 11;

const std::u16string NOT_AUTHENTICATED = u"command without prior authentication";
const std::u16string UNKNOWN_COMMAND = u"received unknown command";
const std::u16string OUT_OF_RANGE = u"drive letter out of range (A..Z)";
const std::u16string NOT_OPEN = u"OstrinReadDir: specified drive is not open";

CBytes HelloBytes(uint32_t magic = 0x29052020, uint32_t version = 1) { return CBytes().U32(HELLO).U32(magic).U32(version); }

class ServerProtocolTest : public CSocketLibraryTest {};

TEST_F(ServerProtocolTest, HelloAndQuit) {
  CServerProcess server;
  server.Start();
  {
    // Quit as the very first message is acknowledged, then the server ends the connection.
    CRawClient client(server.Port());
    client.SendCode(QUIT);
    EXPECT_TRUE(client.ExpectAck());
    EXPECT_TRUE(client.ClosedByServer());
  }
  {
    // The server says nothing first; a Hello, and a second Hello, are each answered by u32 1.
    CRawClient client(server.Port());
    EXPECT_TRUE(client.Silent(100));
    client.Send(HelloBytes());
    EXPECT_TRUE(client.Expect(CBytes().U32(1)));
    client.Send(HelloBytes());
    EXPECT_TRUE(client.Expect(CBytes().U32(1)));
    client.SendCode(QUIT);
    EXPECT_TRUE(client.Expect(CBytes().U32(1)));
    EXPECT_TRUE(client.ClosedByServer());
  }
  EXPECT_EQ(server.Stop(), 0);
}

TEST_F(ServerProtocolTest, BadHelloIsAnsweredAndEndsTheConnection) {
  CServerProcess server;
  server.Start();
  struct Case {
    CBytes hello;
    int32_t code;
    std::u16string text;
  };
  const std::vector<Case> cases = {
      {HelloBytes(0x29052021), 2001, u"protocol magic bad"},
      {HelloBytes(0x20200529), 2001, u"protocol magic bad"},
      {HelloBytes(0x29052020, 2), 2002, u"wrong protocol version"},
      {HelloBytes(0x29052020, 0), 2002, u"wrong protocol version"},
  };
  for (const Case& c : cases) {
    CRawClient client(server.Port());
    client.Send(c.hello);
    EXPECT_TRUE(client.ExpectError(c.code, c.text)) << c.code;
    EXPECT_TRUE(client.ClosedByServer()) << c.code;
  }
  // A wrong magic is refused before the version is read: the version's bytes are never waited for.
  {
    CRawClient client(server.Port());
    client.Send(CBytes().U32(HELLO).U32(0x12345678));
    EXPECT_TRUE(client.ExpectError(2001, u"protocol magic bad"));
    EXPECT_TRUE(client.ClosedByServer());
  }
  EXPECT_EQ(server.CountFailures("Error: protocol magic bad"), 3u);
  EXPECT_EQ(server.CountFailures("Error: wrong protocol version"), 2u);
  EXPECT_EQ(server.Stop(), 0);
}

TEST_F(ServerProtocolTest, DriveCommandsNeedHelloAndTheConnectionStaysUsable) {
  const auto empty = ostrin::test::MadeVolume("empty");
  CServerProcess server(SServerOptions().Volume('D', empty.image));
  server.Start();
  CRawClient client(server.Port());
  for (const uint32_t command : {OPEN, ABORT, CLOSE, READ_DIR, DRIVE_INFO}) {
    client.SendCommand(command, 'D');
    EXPECT_TRUE(client.ExpectError(2004, NOT_AUTHENTICATED)) << command;
  }
  // The letter was consumed with each: nothing of it is taken as a command. Without Hello even a bad
  // letter gets 2004, since the letter is read before the check.
  client.SendCommand(CLOSE, '1');
  EXPECT_TRUE(client.ExpectError(2004, NOT_AUTHENTICATED));
  EXPECT_TRUE(client.Silent(50));

  client.Hello();
  client.SendCommand(ABORT, 'D');
  client.SendCommand(CLOSE, 'D');
  EXPECT_TRUE(client.ExpectAck()) << "AbortOpen writes nothing; the Ack is CloseDrive's";
  client.SendCommand(READ_DIR, 'D');
  EXPECT_TRUE(client.ExpectError(2007, NOT_OPEN));
  client.SendCommand(OPEN, 'D');
  EXPECT_TRUE(client.Expect(CBytes().U32(1).U32(5).U32('D').U32(100).U32(4).U32('D')))
      << "a one-chunk MFT reports only 100";
  EXPECT_TRUE(client.Silent(50));
  client.Close();
  EXPECT_EQ(server.CountFailures("Error: command without prior authentication"), 6u);
  EXPECT_EQ(server.Stop(), 0);
}

TEST_F(ServerProtocolTest, UnknownCodesAndBadLetters) {
  CServerProcess server;
  server.Start();
  CRawClient client(server.Port());
  // Before and after Hello alike; only the code is consumed.
  for (const uint32_t code : {0u, 1u, 4u, 5u, 6u, 12u, 0x100u, 0xFFFFFFFFu}) {
    client.SendCode(code);
    EXPECT_TRUE(client.ExpectError(2008, UNKNOWN_COMMAND)) << code;
  }
  // An unknown code directly followed by a Hello: the Hello's bytes are the next command.
  client.Send(CBytes().U32(4).U32(HELLO).U32(0x29052020).U32(1));
  EXPECT_TRUE(client.ExpectError(2008, UNKNOWN_COMMAND));
  EXPECT_TRUE(client.ExpectAck());

  // Letters outside A..Z after upper-casing, in every command with a letter. Only the low 16 bits
  // are the letter: 'Q' with upper bits set is the letter Q.
  for (const uint32_t letter : {uint32_t{'1'}, uint32_t{'@'}, uint32_t{'['}, uint32_t{'`'}, uint32_t{'{'}, 0u, 0x10000u}) {
    client.SendCommand(ABORT, letter);
    EXPECT_TRUE(client.ExpectError(2000, OUT_OF_RANGE)) << letter;
    client.SendCommand(CLOSE, letter);
    EXPECT_TRUE(client.ExpectError(2000, OUT_OF_RANGE)) << letter;
    client.SendCommand(READ_DIR, letter);
    EXPECT_TRUE(client.ExpectError(2000, OUT_OF_RANGE)) << letter;
    client.SendCommand(DRIVE_INFO, letter);
    EXPECT_TRUE(client.ExpectError(2000, OUT_OF_RANGE)) << letter;
    // The open job reports it, after the Ack.
    client.SendCommand(OPEN, letter);
    EXPECT_TRUE(client.Expect(CBytes().U32(1).U32(0).U32(2000).Str(OUT_OF_RANGE))) << letter;
  }
  client.SendCommand(CLOSE, 0x10000u + 'q');
  EXPECT_TRUE(client.ExpectAck());
  client.SendCommand(CLOSE, 'z');
  EXPECT_TRUE(client.ExpectAck());
  EXPECT_TRUE(client.Silent(50));
  client.Close();
  EXPECT_EQ(server.CountFailures("Error: received unknown command"), 9u);
  EXPECT_EQ(server.CountFailures("Error: drive letter out of range (A..Z)"), 35u);
  EXPECT_EQ(server.Stop(), 0);
}

TEST_F(ServerProtocolTest, OpenReadDirAndCloseByteByByte) {
  const auto small = ostrin::test::MadeVolume("bulk-small");
  const uint64_t imageSize = ostrin::test::ExpectedImageSize(small.image);
  const std::vector<uint32_t> progress = ostrin::test::ExpectedProgress(small.image);
  CServerProcess server(SServerOptions().Volume('E', small.image).Volume('e', small.image));
  server.Start();
  CRawClient client(server.Port());
  client.Hello();

  client.SendCommand(OPEN, 'E');
  CBytes open = CBytes().U32(1);
  for (const uint32_t percent : progress) open.U32(5).U32('E').U32(percent);
  open.U32(5).U32('E').U32(100).U32(4).U32('E');
  EXPECT_TRUE(client.Expect(open));

  std::u16string name;
  EXPECT_TRUE(client.ExpectImage('E', u'E', imageSize, &name));
  // The drive's state: its generation, a build time of this run, its size, entries and kept index,
  // and the sums of what the image holds.
  client.SendCommand(DRIVE_INFO, 'e');
  ASSERT_EQ(client.ReadU32(), 1u);
  uint64_t info[10] = {};
  for (uint64_t& value : info) value = client.ReadU32() | uint64_t{client.ReadU32()} << 32;
  EXPECT_GE(info[0], 1u) << "generation";
  EXPECT_GT(info[1], 0x01DB000000000000ULL) << "built after 2025, as a FILETIME";
  EXPECT_EQ(info[2], imageSize);
  EXPECT_GT(info[3], 0u) << "entries";
  EXPECT_GE(info[4], info[3] * 16) << "the kept index holds at least a record and an offset per entry";
  EXPECT_LE(info[4], info[3] * 100 + 4096) << "and not much more";
  EXPECT_EQ(info[5], 1u) << "the sums are known";
  EXPECT_EQ(info[6] + info[7], info[3]) << "directories and files: every entry";
  uint64_t size = 0;
  uint64_t allocated = 0;
  for (const ostrin::test::SExpectedEntry& entry : small.expected) {
    if (!entry.isDirectory && entry.nameSpace != 2) {
      size += entry.size.value_or(0);
      allocated += entry.allocated.value_or(0);
    }
  }
  EXPECT_EQ(info[8], size);
  EXPECT_EQ(info[9], allocated);
  EXPECT_EQ(client.ReadWireString(), name);
  {
    ostrin::platform::CSectionView view;
    ASSERT_TRUE(view.Open(ostrin::test::NativeText(name)));
    ASSERT_TRUE(view.Map());
#ifdef _WIN32
    // Windows reports a section's size in whole pages.
    EXPECT_EQ(view.Size(), (imageSize + 4095) / 4096 * 4096);
#else
    EXPECT_EQ(view.Size(), imageSize);
#endif
  }
  // A second open of the open drive: Ack and OpenDone at once, no progress. Two references now.
  client.SendCommand(OPEN, 'E');
  EXPECT_TRUE(client.Expect(CBytes().U32(1).U32(4).U32('E')));
  client.SendCommand(CLOSE, 'e');
  EXPECT_TRUE(client.ExpectAck());
  std::u16string again;
  EXPECT_TRUE(client.ExpectImage('e', u'E', imageSize, &again))
      << "lower case reaches the same slot; the name keeps the opener's letter";
  EXPECT_EQ(again, name) << "the volume did not change: the same generation";
  client.SendCommand(CLOSE, 'E');
  EXPECT_TRUE(client.ExpectAck());
  client.SendCommand(READ_DIR, 'E');
  EXPECT_TRUE(client.ExpectError(2007, NOT_OPEN));
  {
    ostrin::platform::CSectionView view;
    EXPECT_FALSE(view.Open(ostrin::test::NativeText(name))) << "the last close releases the section";
  }
  client.SendCommand(CLOSE, 'E');
  EXPECT_TRUE(client.ExpectAck()) << "closing a drive that is not open is acknowledged";

  // A lower-case open: every open message and the section name carry the letter as sent.
  client.SendCommand(OPEN, 'e');
  CBytes lower = CBytes().U32(1);
  for (const uint32_t percent : progress) lower.U32(5).U32('e').U32(percent);
  lower.U32(5).U32('e').U32(100).U32(4).U32('e');
  EXPECT_TRUE(client.Expect(lower));
  std::u16string lowerName;
  EXPECT_TRUE(client.ExpectImage('E', u'e', imageSize, &lowerName));
  EXPECT_NE(lowerName, name) << "every build is published under a name of its own";
  client.SendCommand(CLOSE, 'E');
  EXPECT_TRUE(client.ExpectAck());
  client.SendCode(QUIT);
  EXPECT_TRUE(client.ExpectAck());
  EXPECT_TRUE(client.ClosedByServer());
  // Every command error is logged, the 2007 above too; nothing else went wrong.
  EXPECT_EQ(server.CountTextEventsStartingWith("Error: "), 1u) << ::testing::PrintToString(server.Events());
  EXPECT_EQ(server.CountTextEvents("Error: OstrinReadDir: specified drive is not open"), 1u);
  EXPECT_EQ(server.Stop(), 0);
}

// How the system says that a path names nothing ("Path not found." or "File not found." on Windows).
#ifdef _WIN32
constexpr char MISSING_FILE_REASON[] = "not found.";
#else
constexpr char MISSING_FILE_REASON[] = "No such file or directory";
#endif

TEST_F(ServerProtocolTest, OpenFailuresCarryTheCodeAndTextOfWhatStoppedThem) {
  CServerProcess server(SServerOptions().Volume('X', "/nonexistent/volume.img"));
  server.Start();
  CRawClient client(server.Port());
  client.Hello();
  for (const uint32_t letter : {uint32_t{'X'}, uint32_t{'Y'}}) {
    const SOpenResult open = client.Open(letter);
    EXPECT_EQ(open.end, 0u);
    EXPECT_EQ(open.errorCode, 3);
    // The volume reader's text, then the system's reason.
    EXPECT_EQ(open.errorText.rfind("Open volume error.", 0), 0u) << open.errorText;
    EXPECT_NE(open.errorText.find(MISSING_FILE_REASON), std::string::npos) << open.errorText;
    client.SendCommand(READ_DIR, letter);
    EXPECT_TRUE(client.ExpectError(2007, NOT_OPEN));
  }
  client.Close();
  EXPECT_EQ(server.CountTextEventsStartingWith("Error: Open volume error."), 2u);
  // The events say which drive and which volume, the letter's own device where no line maps it.
#ifdef _WIN32
  const std::string unmapped = "volume \\\\.\\Y:";
#else
  const std::string unmapped = "no volume.Y line in OstrinNT.ini";
#endif
  for (const std::string& about : {std::string("(drive X:, volume /nonexistent/volume.img)"), "(drive Y:, " + unmapped + ")"}) {
    size_t found = 0;
    for (const std::string& event : server.Events()) {
      if (event.rfind("warning 108 Error: Open volume error.", 0) == 0 && event.size() >= about.size() &&
          event.compare(event.size() - about.size(), about.size(), about) == 0) {
        ++found;
      }
    }
    EXPECT_EQ(found, 1u) << about << "\n" << ::testing::PrintToString(server.Events());
  }
  EXPECT_EQ(server.Stop(), 0);
}

// ---- The configuration file and the listener.

class ServerConfigurationTest : public CSocketLibraryTest {};

// The configuration as the file writes it: lines the service takes, lines it leaves out with a warning,
// and values it cannot use, which end it at start with an event naming the line, before it listens.
TEST_F(ServerConfigurationTest, ConfigurationLinesAreTakenOrEndTheStartWithTheirLine) {
  struct Case {
    const char* name;
    std::string lines;  // %V stands for the chosen port
    std::vector<std::string> events;  // the configuration's events, after "OstrinNT.ini: "
  };
  const std::string refused = "the service does not start: values that cannot be used (1)";
  const std::vector<Case> cases = {
      {"blanks, capitals and a comment", "  \t PORT \t=  %V  # the tests' port", {}},
      {"the last of two lines wins", "port = 1\nport = %V", {}},
      {"a sign is accepted", "port = +%V", {}},
      {"an unknown key is left out with a warning", "port = %V\nvolme.S = /images/s.img",
       {"line 3: unknown key volme.S (the line is left out)"}},
      {"a port that is no number", "port = %V junk", {"line 2: port = %V junk: not a port number from 1 to 65535", refused}},
      {"a port past 16 bits", "port = 114556", {"line 2: port = 114556: not a port number from 1 to 65535", refused}},
      {"a line without '='", "port = %V\nport 2", {"line 3: port 2: not a line of KEY = VALUE", refused}},
      {"a keep time that is no number", "port = %V\nkeep = soon",
       {"line 3: keep = soon: not a whole number of seconds from 0 to 31622400", refused}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const uint16_t port = ostrin::test::FreeLoopbackPort();
    const auto withPort = [port](std::string text) {
      for (size_t at; (at = text.find("%V")) != std::string::npos;) text.replace(at, 2, std::to_string(port));
      return text;
    };
    CServerProcess server(SServerOptions().PortLine(withPort(c.lines)));
    const bool starts = c.events.empty() || c.events.back() != refused;
    server.Start(false);
    if (!starts) {
      EXPECT_EQ(server.WaitForExit(30000), 1);
    } else {
      bool listening = false;
      for (int attempt = 0; attempt < 2000 && !listening; ++attempt) {
        try {
          CRawClient client(port);
          client.Hello();
          listening = true;
        } catch (const CSockException&) {
          std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
      }
      EXPECT_TRUE(listening);
    }
    std::vector<std::string> events;
    for (const std::string& event : server.Events()) {
      if (event.rfind("warning 108 OstrinNT.ini: ", 0) == 0) events.push_back(event.substr(26));
    }
    std::vector<std::string> expected;
    for (const std::string& event : c.events) expected.push_back(withPort(event));
    EXPECT_EQ(events, expected);
    if (starts) {
      EXPECT_EQ(server.Stop(), 0);
    } else {
      const std::vector<std::string> all = server.Events();
      EXPECT_EQ(std::count(all.begin(), all.end(), "information 105 The service was started."), 0)
          << "refused before it counts as started";
    }
  }
}

// -t checks the file and each volume it names, and -c names the file: the service itself never runs.
TEST_F(ServerConfigurationTest, CheckOptionSaysWhatTheFileNamesAndWhetherItCanBeUsed) {
  const ostrin::test::STestVolume volume = ostrin::test::MadeVolume("empty");
  const std::string missing = ::testing::TempDir() + "no-such-volume.img";
  struct Case {
    const char* name;
    std::vector<std::string> lines;
    bool elsewhere;  // written to another folder and named with -c
    int exitCode;
    std::vector<std::string> output;  // lines that standard output and error hold
  };
  const std::vector<Case> cases = {
      {"a good file", {"volume.S = " + volume.image}, false, 0,
       {"port 4", "S: " + volume.image + ": NTFS 3.1, ", "OstrinNT.ini: the configuration can be used"}},
      {"a good file named with -c", {"volume.S = " + volume.image}, true, 0, {"port 4", "S: " + volume.image + ": NTFS 3.1, "}},
      {"a volume that cannot be opened", {"volume.T = " + missing}, false, 1,
       {"T: " + missing + ": cannot be opened as NTFS: 3 Open volume error.",
        "OstrinNT.ini: the configuration cannot be used as it is (problems: 1)"}},
      {"a value that cannot be used", {"keep = soon", "volme.S = x"}, false, 1,
       {"OstrinNT.ini: line 4: unknown key volme.S (the line is left out)",
        "OstrinNT.ini: line 3: keep = soon: not a whole number of seconds from 0 to 31622400",
        "OstrinNT.ini: the configuration cannot be used as it is (problems: 1)"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SServerOptions options = SServerOptions().PortLine("port = 4");
    for (const std::string& line : c.lines) options.Line(line);
    const std::string other = ::testing::TempDir() + "elsewhere.ini";
    if (c.elsewhere) {
      // The folder's own file names nothing; the other one is read.
      std::ofstream(other) << "port = 4\n" << c.lines[0] << "\n";
      options = SServerOptions().PortLine("port = 5").Arguments({"-c", other, "-t"});
    } else {
      options.Arguments({"-t"});
    }
    CServerProcess server(options);
    server.Start(false);
    EXPECT_EQ(server.WaitForExit(30000), c.exitCode);
    const std::string output = server.Output();
    for (const std::string& line : c.output) EXPECT_NE(output.find(line), std::string::npos) << line << "\n" << output;
    EXPECT_TRUE(server.Events().empty()) << "nothing runs, nothing is logged";
    std::remove(other.c_str());
  }
}

TEST_F(ServerConfigurationTest, WithoutAFileTheServerListensOn49020) {
  CServerProcess server(SServerOptions().NoConfiguration());
  server.Start(false);
  for (int attempt = 0; attempt < 2000; ++attempt) {
    if (!server.IsRunning()) {
      // Only another program holding the port makes the listener fail here.
      ASSERT_EQ(server.CountTextEventsStartingWith("socket.listen() failed. terminating... (port 49020: "), 1u);
      GTEST_SKIP() << "port 49020 is taken by another program";
    }
    try {
      CRawClient client(49020);
      client.Hello();
      break;
    } catch (const CSockException&) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  EXPECT_EQ(server.Stop(), 0);
}

TEST_F(ServerConfigurationTest, ListenerFailureEndsTheProcessWithCode1) {
  // The port is taken by a listening socket of the test.
  CSockStream taken(ESockSide::Service);
  taken.Bind(0);
  taken.Listen();
  CServerProcess server(SServerOptions().PortLine("port = " + std::to_string(taken.LocalPort())));
  server.Start(false);
  const int code = server.WaitForExit(30000);
  ASSERT_NE(code, -1);
  EXPECT_EQ(code, 1);
  // The port, and the system's reason.
  const std::string failed = "socket.listen() failed. terminating... (port " + std::to_string(taken.LocalPort()) + ": ";
  ASSERT_EQ(server.CountTextEventsStartingWith(failed), 1u) << ::testing::PrintToString(server.Events());
  for (const std::string& event : server.Events()) {
    if (event.find(failed) == std::string::npos) continue;
    EXPECT_GT(event.size(), event.find(failed) + failed.size() + 2) << "the system's text: " << event;
    EXPECT_EQ(event.back(), ')') << event;
  }
  EXPECT_EQ(server.CountTextEventsStartingWith("Error: "), 0u) << "the socket's own text is not written";
}

TEST_F(ServerConfigurationTest, OnlyTheLoopbackAddressIsServed) {
  CServerProcess server;
  server.Start();
  CSockStream other(ESockSide::Client);
  try {
    other.Connect("127.0.0.2", server.Port());
    ADD_FAILURE() << "a connection to 127.0.0.2 was accepted";
  } catch (const CSockException& e) {
    EXPECT_EQ(e.Code(), 1011);
  }
  EXPECT_EQ(server.Stop(), 0);
}

// ---- Time-outs of a connection (the shipped 5 s).

TEST(ServerTimeoutTest, IdleConnectionsStayAndACommandOutlastsAWait) {
  // The shipped program has no test hooks: the variable that shortens the wait in OstrinNT-test
  // changes nothing here. With 1-second waits the paused command below would be given up.
  CServerProcess server(SServerOptions().Environment(ENV_CONNECTION_TIMEOUT_SECONDS, "1"));
  server.Start();
  CRawClient idle(server.Port());
  idle.Hello();
  CRawClient paused(server.Port());
  paused.Hello();
  // CloseDrive, and its letter only after more than one 5-second wait.
  paused.SendCode(CLOSE);
  ASSERT_TRUE(paused.Silent(7500));
  paused.Send(CBytes().U32('A'));
  EXPECT_TRUE(paused.ExpectAck());
  // The idle connection outlived its own read time-outs, and answers.
  idle.SendCommand(CLOSE, 'A');
  EXPECT_TRUE(idle.ExpectAck());
  idle.SendCode(QUIT);
  EXPECT_TRUE(idle.ExpectAck());
  paused.Close();
  EXPECT_EQ(server.CountTextEventsStartingWith("Error: "), 0u) << "waiting for a command is not an error";
  EXPECT_EQ(server.Stop(), 0);
}

// Commands sent in pieces with pauses longer than the connection's wait (1 s here) between them: each
// is carried out whole, and the connection stays in step. One whose rest never comes is given up after
// six waits, with the event of the time-out; one left half sent does not hold up the stop.
TEST(ServerTimeoutTest, ACommandCutByWaitsIsReadWhole) {
  CServerProcess server(SServerOptions().TestProgram().Environment(ENV_CONNECTION_TIMEOUT_SECONDS, "1"));
  server.Start();
  const CBytes close = CBytes().U32(CLOSE).U32('A');
  const auto pieces = [](const CBytes& whole, std::vector<size_t> cuts) {
    std::vector<CBytes> parts;
    size_t from = 0;
    cuts.push_back(whole.bytes.size());
    for (const size_t to : cuts) {
      CBytes part;
      part.bytes.assign(whole.bytes.begin() + static_cast<std::ptrdiff_t>(from), whole.bytes.begin() + static_cast<std::ptrdiff_t>(to));
      parts.push_back(part);
      from = to;
    }
    return parts;
  };
  struct Case {
    const char* name;
    bool helloFirst;
    std::vector<CBytes> parts;  // sent one a round, with a pause between rounds
  };
  const std::vector<Case> cases = {
      {"Hello cut in its code", false, pieces(HelloBytes(), {2})},
      {"Hello cut in its version", false, pieces(HelloBytes(), {9})},
      {"CloseDrive cut in its code", true, pieces(close, {2})},
      {"CloseDrive cut in its letter", true, pieces(close, {5})},
      {"CloseDrive cut in three", true, pieces(close, {1, 6})},
  };
  std::vector<std::unique_ptr<CRawClient>> clients;
  for (const Case& c : cases) {
    clients.push_back(std::make_unique<CRawClient>(server.Port()));
    if (c.helloFirst) clients.back()->Hello();
  }
  CRawClient cut(server.Port());
  cut.Hello();
  CRawClient halfAtTheStop(server.Port());
  halfAtTheStop.Hello();
  const auto sent = std::chrono::steady_clock::now();
  cut.Send(pieces(close, {3}).front());
  for (size_t round = 0; round < 3; ++round) {
    if (round > 0) std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    for (size_t i = 0; i < cases.size(); ++i) {
      if (round < cases[i].parts.size()) clients[i]->Send(cases[i].parts[round]);
    }
  }
  for (size_t i = 0; i < cases.size(); ++i) {
    EXPECT_TRUE(clients[i]->ExpectAck()) << cases[i].name;
    clients[i]->SendCode(QUIT);
    EXPECT_TRUE(clients[i]->ExpectAck()) << cases[i].name << ": in step after it";
  }

  EXPECT_TRUE(cut.ClosedByServer(20000));
  EXPECT_GE(std::chrono::steady_clock::now() - sent, std::chrono::milliseconds(5500)) << "six waits";
  EXPECT_EQ(server.CountTextEvents("Error: read: timeout"), 1u);
  halfAtTheStop.Send(pieces(HelloBytes(), {6}).front());
  EXPECT_EQ(server.Stop(), 0);
  EXPECT_EQ(server.CountTextEventsStartingWith("Error: "), 1u) << server.EventLogText();
}

}  // namespace
