// The socket stream over real loopback connections: exact reads and writes, time-outs, closed peers,
// the two sides' receive rules, wire strings and the set-up failures.
#include "common/sock_stream.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tests/common/loopback_pair.h"

namespace platform = ostrin::platform;

namespace {

constexpr ESockSide BOTH_SIDES[] = {ESockSide::Service, ESockSide::Client};

const char* SideName(ESockSide side) { return side == ESockSide::Service ? "service" : "client"; }

WString W(std::u16string_view text) { return WString(text.begin(), text.end()); }

void Pause(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

using SockStreamTest = CSocketLibraryTest;

TEST_F(SockStreamTest, ReadWaitsForEveryPieceOfAnExactLength) {
  for (ESockSide side : BOTH_SIDES) {
    SCOPED_TRACE(SideName(side));
    CLoopbackPair pair;
    CSockStream& reader = pair.End(side);
    CSockStream& writer = pair.Peer(side);
    std::thread sender([&] {
      WriteBytes(writer, {0x78, 0x56});
      Pause(100);
      WriteBytes(writer, {0x34, 0x12});
      writer.WriteU64(0x0102030405060708ULL);
    });
    EXPECT_EQ(reader.ReadU32(), 0x12345678u);
    EXPECT_EQ(reader.ReadU64(), 0x0102030405060708ULL);
    sender.join();
    EXPECT_FALSE(reader.closed);
  }
}

TEST_F(SockStreamTest, TimeLimitHoldsForEachWaitNotForTheWholeRead) {
  // Three pieces, each well within the limit of one wait, together well beyond it.
  CLoopbackPair pair;
  pair.client.timeoutSeconds = 2;
  std::thread sender([&] {
    WriteBytes(*pair.service, {1});
    Pause(1200);
    WriteBytes(*pair.service, {2});
    Pause(1200);
    WriteBytes(*pair.service, {3, 4});
  });
  EXPECT_EQ(pair.client.ReadU32(), 0x04030201u);
  sender.join();
}

TEST_F(SockStreamTest, IntegersAreLittleEndianOnTheWire) {
  CLoopbackPair pair;
  pair.client.WriteU32(0xA1B2C3D4u);
  pair.client.WriteU64(0x1122334455667788ULL);
  const std::vector<unsigned char> expected = {0xD4, 0xC3, 0xB2, 0xA1, 0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11};
  EXPECT_EQ(ReadBytes(*pair.service, expected.size()), expected);
}

TEST_F(SockStreamTest, PeerCloseDuringReadClosesTheStream) {
  for (ESockSide side : BOTH_SIDES) {
    SCOPED_TRACE(SideName(side));
    CLoopbackPair pair;
    CSockStream& reader = pair.End(side);
    WriteBytes(pair.Peer(side), {1, 2});
    pair.Peer(side).Close();
    unsigned char buffer[4];
    EXPECT_EQ(SockErrorOf([&] { reader.Read(buffer, sizeof buffer); }, "read socket: connection closed by peer"), 1002);
    EXPECT_TRUE(reader.closed);
    // From now on both directions fail before any wait.
    reader.timeoutSeconds = 30;
    EXPECT_EQ(SockErrorOf([&] { reader.ReadU32(); }, "read: socket not open"), 1000);
    EXPECT_EQ(SockErrorOf([&] { reader.WriteU32(1); }, "write: socket not open"), 1004);
  }
}

TEST_F(SockStreamTest, PeerResetDuringReadFollowsTheSide) {
  // The service takes any failed receive as the end of the connection; the client reports a
  // receive error and leaves the stream as it is.
  struct Case {
    ESockSide side;
    int32_t code;
    const char* text;
    bool closed;
  };
  const Case cases[] = {
      {ESockSide::Service, 1002, "read socket: connection closed by peer", true},
      {ESockSide::Client, 1003, "read socket error", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(SideName(c.side));
    CLoopbackPair pair;
    CSockStream& reader = pair.End(c.side);
    reader.timeoutSeconds = 5;
    platform::AbortSocket(pair.Peer(c.side).handle.Release());
    std::string text;
    const int32_t code = SockErrorOf([&] {
      try {
        reader.ReadU32();
      } catch (const CSockException& e) {
        text = WideToUtf8(e.Message());
        throw;
      }
    });
    if (c.side == ESockSide::Client && code == 1002) {
      // Wine reports the reset as the end of the stream, which the client takes as a close.
      EXPECT_TRUE(reader.closed);
      continue;
    }
    EXPECT_EQ(code, c.code);
    EXPECT_EQ(text, c.text);
    EXPECT_EQ(reader.closed, c.closed);
  }
}

TEST_F(SockStreamTest, ReadTimeoutLeavesTheStreamUsable) {
  CLoopbackPair pair;
  CSockStream& reader = pair.client;
  reader.timeoutSeconds = 1;
  EXPECT_EQ(SockErrorOf([&] { reader.ReadU32(); }, "read: timeout"), 1001);
  EXPECT_FALSE(reader.closed);
  pair.service->WriteU32(7);
  EXPECT_EQ(reader.ReadU32(), 7u);
}

TEST_F(SockStreamTest, WriteTimeoutWhenThePeerReadsNothing) {
  CLoopbackPair pair;
  CSockStream& writer = *pair.service;
  writer.timeoutSeconds = 1;
  // Far more than the loopback buffers of both ends hold.
  const std::vector<unsigned char> flood(64u << 20, 0x5A);
  EXPECT_EQ(SockErrorOf([&] { writer.Write(flood.data(), flood.size()); }, "write socket: timeout"), 1005);
  EXPECT_FALSE(writer.closed);
}

TEST_F(SockStreamTest, WriteToAGonePeerFailsWithoutASignal) {
  // Without MSG_NOSIGNAL the second send would end this process with SIGPIPE.
  for (ESockSide side : BOTH_SIDES) {
    for (bool reset : {false, true}) {
      SCOPED_TRACE(std::string(SideName(side)) + (reset ? ", peer reset" : ", peer closed"));
      CLoopbackPair pair;
      CSockStream& writer = pair.End(side);
      CSockStream& peer = pair.Peer(side);
      if (reset) {
        platform::AbortSocket(peer.handle.Release());
      } else {
        peer.Close();
      }
      int32_t code = 0;
      for (int attempt = 0; attempt < 200 && code == 0; ++attempt) {
        code = SockErrorOf([&] { writer.WriteU32(0xDEADBEEF); });
        if (code == 0) Pause(10);
      }
      EXPECT_EQ(code, 1006);
      EXPECT_TRUE(writer.closed);
      EXPECT_EQ(SockErrorOf([&] { writer.WriteU32(1); }, "write: socket not open"), 1004);
      EXPECT_EQ(SockErrorOf([&] { writer.ReadU32(); }, "read: socket not open"), 1000);
    }
  }
}

TEST_F(SockStreamTest, ReadStringTakesOnlyWhatItsCountAllows) {
  // Each row is followed on the wire by a marker: reading it next proves how much the string took.
  // Refused counts must leave the units unread (the marker is the very next u32).
  constexpr uint32_t MARKER = 0xA5A55A5A;
  struct Case {
    const char* name;
    std::vector<unsigned char> bytes;
    int32_t error;
    std::u16string text;
  };
  const Case cases[] = {
      {"empty", CBytes().U32(0).bytes, 0, u""},
      {"a NUL b", CBytes().U32(3).Units(std::u16string(u"a\0b", 3)).bytes, 0, u"a"},
      {"non-ASCII units", CBytes().Str(u"\u00e9\U0001F600\u20ac").bytes, 0, u"\u00e9\U0001F600\u20ac"},
      {"leading NUL", CBytes().U32(2).Units(std::u16string(u"\0x", 2)).bytes, 0, u""},
      {"count -1", CBytes().U32(0xFFFFFFFF).bytes, 1008, u""},
      {"count INT32_MIN", CBytes().U32(0x80000000).bytes, 1008, u""},
      {"count INT32_MAX", CBytes().U32(0x7FFFFFFF).bytes, 1008, u""},
      {"count over the limit", CBytes().U32(MAX_WIRE_STRING_UNITS + 1u).bytes, 1008, u""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CLoopbackPair pair;
    CSockStream& reader = pair.client;
    reader.timeoutSeconds = 1;
    WriteBytes(*pair.service, CBytes{c.bytes}.U32(MARKER).bytes);
    WString text;
    EXPECT_EQ(SockErrorOf([&] { text = reader.ReadString(); }, c.error != 0 ? "ReadString(): out of memory" : nullptr),
              c.error);
    EXPECT_EQ(text, W(c.text));
    EXPECT_EQ(reader.ReadU32(), MARKER);
    EXPECT_FALSE(reader.closed);
  }
}

TEST_F(SockStreamTest, ReadStringAcceptsTheLongestAllowedCount) {
  CLoopbackPair pair;
  const WString sent(static_cast<size_t>(MAX_WIRE_STRING_UNITS), static_cast<WCHAR>('x'));
  std::thread sender([&] { pair.service->WriteString(sent); });
  const WString received = pair.client.ReadString();
  sender.join();
  EXPECT_EQ(received, sent);
}

TEST_F(SockStreamTest, WriteStringLayout) {
  CLoopbackPair pair;
  pair.service->WriteString(W(u"a\u00e9"));
  pair.service->WriteString(WString());
  const std::vector<unsigned char> expected = {2, 0, 0, 0, 'a', 0, 0xE9, 0, 0, 0, 0, 0};
  EXPECT_EQ(ReadBytes(pair.client, expected.size()), expected);
}

TEST_F(SockStreamTest, StreamWithoutSocket) {
  for (ESockSide side : BOTH_SIDES) {
    SCOPED_TRACE(SideName(side));
    CSockStream stream(side);
    EXPECT_EQ(SockErrorOf([&] { stream.ReadU32(); }, "read: socket not open"), 1000);
    EXPECT_EQ(SockErrorOf([&] { stream.WriteU32(1); }, "write: socket not open"), 1004);
    EXPECT_EQ(SockErrorOf([&] { stream.Listen(); }, "listen() failed"), 1013);
    EXPECT_EQ(SockErrorOf([&] { stream.Accept(); }, "accept() failed"), 1014);
    EXPECT_EQ(stream.WaitReadable(0), platform::SocketWait::Failed);
    EXPECT_EQ(stream.LocalPort(), 0);
  }
}

TEST_F(SockStreamTest, SetUpFailures) {
  CSockStream listener(ESockSide::Service);
  listener.Bind(0);
  listener.Listen();
  const uint16_t port = listener.LocalPort();
  ASSERT_NE(port, 0);

  // A listening port stays taken even for a socket that asks for address reuse.
  CSockStream second(ESockSide::Service);
  EXPECT_EQ(SockErrorOf([&] { second.Bind(port); }, "bind() failed"), 1012);
  EXPECT_FALSE(second.handle.IsValid());

  // The listener does not block in an accept with nothing pending.
  EXPECT_EQ(listener.WaitReadable(0), platform::SocketWait::TimedOut);
  EXPECT_EQ(SockErrorOf([&] { listener.Accept(); }, "accept() failed"), 1014);

  CSockStream client(ESockSide::Client);
  EXPECT_EQ(SockErrorOf([&] { client.Connect("", port); }, "gethostbyname() failed"), 1009);
  EXPECT_FALSE(client.handle.IsValid());

  // A port that was just given up has no listener (the system does not hand it out again at once).
  uint16_t freedPort = 0;
  {
    CSockStream gone(ESockSide::Service);
    gone.Bind(0);
    gone.Listen();
    freedPort = gone.LocalPort();
  }
  EXPECT_EQ(SockErrorOf([&] { client.Connect("127.0.0.1", freedPort); }, "Can not connect: connect() failed"), 1011);
  EXPECT_FALSE(client.handle.IsValid());
  EXPECT_EQ(client.hostAddress, "127.0.0.1");
}

TEST_F(SockStreamTest, BindUsesTheLowSixteenBitsOfThePort) {
  CSockStream probe(ESockSide::Service);
  probe.Bind(0);
  const uint16_t port = probe.LocalPort();
  probe.Close();
  CSockStream listener(ESockSide::Service);
  listener.Bind(static_cast<int32_t>(port) + 65536);
  EXPECT_EQ(listener.LocalPort(), port);
}

TEST_F(SockStreamTest, AcceptedStreamLeavesItsSocketToItsUser) {
  CLoopbackPair pair;
  EXPECT_EQ(pair.service->peerAddress, "127.0.0.1");
  EXPECT_EQ(pair.client.hostAddress, "127.0.0.1");
  EXPECT_FALSE(pair.service->ownsHandle);
  EXPECT_EQ(pair.service->timeoutSeconds, STREAM_TIMEOUT_SECONDS);
  EXPECT_EQ(pair.service->Side(), ESockSide::Service);

  // Destroying the stream keeps the connection: its socket still carries data.
  const platform::SocketHandle raw = pair.service->handle.Get();
  pair.service.reset();
  pair.client.WriteU32(42);
  CSockStream adopted(ESockSide::Service);
  adopted.handle.Reset(raw);
  EXPECT_EQ(adopted.ReadU32(), 42u);

  // Close ends it; the client sees the end of the stream.
  adopted.ownsHandle = false;
  adopted.Close();
  EXPECT_FALSE(adopted.handle.IsValid());
  EXPECT_EQ(SockErrorOf([&] { pair.client.ReadU32(); }), 1002);
  EXPECT_TRUE(pair.client.closed);
}

TEST_F(SockStreamTest, ConnectStartsAFreshConnection) {
  CLoopbackPair pair;
  pair.service->Close();
  EXPECT_EQ(SockErrorOf([&] { pair.client.ReadU32(); }), 1002);
  ASSERT_TRUE(pair.client.closed);

  // A new connect replaces the dead connection, and the stream is usable again.
  pair.client.Connect("127.0.0.1", pair.listener.LocalPort());
  EXPECT_FALSE(pair.client.closed);
  ASSERT_EQ(pair.listener.WaitReadable(5000), platform::SocketWait::Ready);
  pair.service = pair.listener.Accept();
  pair.client.WriteU32(9);
  EXPECT_EQ(pair.service->ReadU32(), 9u);
  pair.service->WriteU32(10);
  EXPECT_EQ(pair.client.ReadU32(), 10u);
}

TEST_F(SockStreamTest, ReadWhileAnotherThreadWrites) {
  // The service's pattern: the connection thread reads while an open job writes on the same stream.
  CLoopbackPair pair;
  CSockStream& shared = *pair.service;
  constexpr uint32_t COUNT = 2000;
  std::thread writer([&] {
    for (uint32_t i = 0; i < COUNT; ++i) shared.WriteU32(i);
  });
  std::thread echo([&] {
    for (uint32_t i = 0; i < COUNT; ++i) pair.client.WriteU32(pair.client.ReadU32() + 1);
  });
  for (uint32_t i = 0; i < COUNT; ++i) ASSERT_EQ(shared.ReadU32(), i + 1);
  writer.join();
  echo.join();
}

}  // namespace
