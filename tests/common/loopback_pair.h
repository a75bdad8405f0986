// Test helpers: a connected pair of socket streams on 127.0.0.1 (an ephemeral port, so tests run in
// parallel), and checks of the stream's exceptions.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "common/exceptions.h"
#include "common/sock_stream.h"
#include "common/text.h"
#include "platform/socket.h"

// Starts the socket library for the life of a test (Windows needs it; a no-op elsewhere).
class CSocketLibraryTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(ostrin::platform::StartSocketLibrary()); }
  void TearDown() override { ostrin::platform::CleanupSocketLibrary(); }
};

// A listener, a client stream connected to it, and the service stream it accepted.
struct CLoopbackPair {
  CSockStream listener{ESockSide::Service};
  CSockStream client{ESockSide::Client};
  std::unique_ptr<CSockStream> service;

  CLoopbackPair() {
    listener.Bind(0);
    listener.Listen();
    client.Connect("127.0.0.1", listener.LocalPort());
    // The handshake may finish in the kernel a moment after connect returns.
    EXPECT_EQ(listener.WaitReadable(5000), ostrin::platform::SocketWait::Ready);
    service = listener.Accept();
  }
  ~CLoopbackPair() {
    // Accepted streams leave their socket to their user.
    if (service) service->Close();
  }

  // The end of the given side, and the other end.
  CSockStream& End(ESockSide side) { return side == ESockSide::Service ? *service : client; }
  CSockStream& Peer(ESockSide side) { return side == ESockSide::Service ? client : *service; }
};

// The code of the CSockException that f throws (its text checked against expectedText when given);
// 0 when it throws none.
template <typename F>
int32_t SockErrorOf(F&& f, const char* expectedText = nullptr) {
  try {
    f();
  } catch (const CSockException& e) {
    if (expectedText != nullptr) {
      EXPECT_EQ(WideToUtf8(e.Message()), expectedText) << "code " << e.Code();
    }
    return e.Code();
  }
  return 0;
}

// Reads exactly count raw bytes from a stream.
inline std::vector<unsigned char> ReadBytes(CSockStream& stream, size_t count) {
  std::vector<unsigned char> bytes(count);
  stream.Read(bytes.data(), bytes.size());
  return bytes;
}

inline void WriteBytes(CSockStream& stream, const std::vector<unsigned char>& bytes) {
  stream.Write(bytes.data(), bytes.size());
}

// Hand encoding of wire fields for expected byte strings, independent of the code under test.
struct CBytes {
  std::vector<unsigned char> bytes;

  CBytes& U32(uint32_t v) {
    for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<unsigned char>(v >> (8 * i)));
    return *this;
  }
  CBytes& U64(uint64_t v) {
    for (int i = 0; i < 8; ++i) bytes.push_back(static_cast<unsigned char>(v >> (8 * i)));
    return *this;
  }
  // UTF-16LE units of a text given as UTF-16, without a count.
  CBytes& Units(std::u16string_view text) {
    for (char16_t c : text) {
      bytes.push_back(static_cast<unsigned char>(c & 0xFF));
      bytes.push_back(static_cast<unsigned char>(c >> 8));
    }
    return *this;
  }
  // A wire string: count, then units.
  CBytes& Str(std::u16string_view text) { return U32(static_cast<uint32_t>(text.size())).Units(text); }
};
