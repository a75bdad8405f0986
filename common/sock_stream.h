// The socket stream of both deliverables: exact-length reads and writes over one blocking TCP
// connection with a time-out on every wait, the wire string, and the socket set-up steps.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/error_text.h"
#include "common/timeouts.h"
#include "platform/socket.h"
#include "platform/types.h"

// Failures of the stream and of socket set-up, thrown as CSockException; local to each side, never sent.
inline constexpr CErrorText SOCK_READ_NOT_OPEN{1000, WTEXT("read: socket not open")};
inline constexpr CErrorText SOCK_READ_TIMEOUT{1001, WTEXT("read: timeout")};
inline constexpr CErrorText SOCK_READ_PEER_CLOSED{1002, WTEXT("read socket: connection closed by peer")};
inline constexpr CErrorText SOCK_READ_ERROR{1003, WTEXT("read socket error")};
inline constexpr CErrorText SOCK_WRITE_NOT_OPEN{1004, WTEXT("write: socket not open")};
inline constexpr CErrorText SOCK_WRITE_TIMEOUT{1005, WTEXT("write socket: timeout")};
inline constexpr CErrorText SOCK_WRITE_PEER_CLOSED{1006, WTEXT("write socket: connection closed by peer")};
inline constexpr CErrorText SOCK_WRITE_ERROR{1007, WTEXT("write socket error")};
inline constexpr CErrorText SOCK_STRING_OUT_OF_MEMORY{1008, WTEXT("ReadString(): out of memory")};
inline constexpr CErrorText SOCK_HOST_LOOKUP_FAILED{1009, WTEXT("gethostbyname() failed")};
inline constexpr CErrorText SOCK_INVALID_SOCKET{1010, WTEXT("invalid socket")};
inline constexpr CErrorText SOCK_CONNECT_FAILED{1011, WTEXT("Can not connect: connect() failed")};
inline constexpr CErrorText SOCK_BIND_FAILED{1012, WTEXT("bind() failed")};
inline constexpr CErrorText SOCK_LISTEN_FAILED{1013, WTEXT("listen() failed")};
inline constexpr CErrorText SOCK_ACCEPT_FAILED{1014, WTEXT("accept() failed")};

// Longest wire string a reader accepts, in UTF-16 units. The longest real one (a system error text
// or a section name) is a few hundred units; a larger count is a broken or hostile peer, refused
// before anything is allocated or read.
inline constexpr int32_t MAX_WIRE_STRING_UNITS = 1 << 20;

// Which deliverable a stream serves. The two differ only in how a failed receive is taken; on both,
// a receive that finds nothing after the wait said readable just waits again.
enum class ESockSide {
  Service,  // end of stream or any receive failure: the peer has closed (1002, `closed` set)
  Client,   // end of stream: closed (1002, `closed` set); other failures: 1003, stream kept
};

// Bytes of one message laid out in wire order (little-endian integers, wire strings), so that the
// message can go out with one CSockStream::Write.
class CWireBuffer {
 public:
  void PutU32(uint32_t value);
  void PutU64(uint64_t value);
  // A wire string: the u32 count of UTF-16 units, then the units (no terminator).
  void PutString(const WString& text);

  const unsigned char* Data() const { return m_bytes.data(); }
  size_t Size() const { return m_bytes.size(); }

 private:
  std::vector<unsigned char> m_bytes;
};

// One end of a TCP connection on the loopback address, or a listening socket.
//
// A stream has no lock of its own. One thread may read while another writes (the service's
// connection thread reads commands while an open job writes its messages); `closed` is atomic for
// that. Writes from several threads, and Close while another thread may write, must be serialised
// by the owner (the service holds one write lock per connection).
class CSockStream {
 public:
  explicit CSockStream(ESockSide side);
  // Closes the socket when the stream owns it.
  ~CSockStream();
  CSockStream(const CSockStream&) = delete;
  CSockStream& operator=(const CSockStream&) = delete;

  // Receives exactly count bytes; each wait for data lasts at most timeoutSeconds.
  // Throws CSockException 1000 to 1003.
  void Read(void* buffer, size_t count);
  // Receives at least one and at most count (> 0) bytes after one wait of at most timeoutSeconds;
  // returns how many. Throws as Read, and keeps nothing of a failed call.
  size_t ReadSome(void* buffer, size_t count);
  // Sends exactly count bytes; each wait for room lasts at most timeoutSeconds.
  // Throws CSockException 1004 to 1007. A peer that has gone never raises a signal.
  void Write(const void* buffer, size_t count);
  void Write(const CWireBuffer& message) { Write(message.Data(), message.Size()); }

  uint32_t ReadU32();
  uint64_t ReadU64();
  void WriteU32(uint32_t value);
  void WriteU64(uint64_t value);

  // Reads a wire string; the result ends at its first NUL unit. A negative count or one above
  // MAX_WIRE_STRING_UNITS fails with 1008 after only the count has been read.
  WString ReadString();
  // Writes a wire string with one Write.
  void WriteString(const WString& text);

  // Creates a TCP/IPv4 socket with address reuse and binds it to 127.0.0.1. Only the low 16 bits
  // of the port are used; 0 lets the system choose (see LocalPort). Throws 1010 or 1012.
  void Bind(int32_t port);
  // Listens with the system's longest backlog (platform::ListenSocket). Throws 1013.
  void Listen();
  // Waits at most timeoutMs for a pending connection (or data) on the socket.
  ostrin::platform::SocketWait WaitReadable(int32_t timeoutMs) const;
  // Accepts one pending connection: a stream of the same side with the default time-out, not owning
  // its socket (its user calls Close), peerAddress filled in. Throws 1014, also when no
  // connection is pending.
  std::unique_ptr<CSockStream> Accept();
  // Resolves the host name, keeps its first address as hostAddress and connects to it. A socket the
  // stream held before is closed first, and the new connection starts with `closed` cleared.
  // Throws 1010, 1009 or 1011; after a failure the stream has no socket.
  void Connect(const std::string& hostName, uint16_t port);

  // Closes the socket now, whether or not the stream owns it; later reads and writes fail with
  // 1000 and 1004.
  void Close();

  // The local port of the socket; 0 when there is none.
  uint16_t LocalPort() const;
  ESockSide Side() const { return m_side; }

  ostrin::platform::UniqueSocket handle;
  int32_t timeoutSeconds = STREAM_TIMEOUT_SECONDS;
  bool ownsHandle = true;
  // Set when the peer is found to have closed the connection; nothing but a new Connect clears it.
  std::atomic<bool> closed{false};
  std::string peerAddress;  // dotted address of an accepted peer, informational
  std::string hostAddress;  // dotted address that Connect resolved, informational

 private:
  int32_t WaitMs() const;

  ESockSide m_side;
};
