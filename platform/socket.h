// TCP/IPv4 sockets on the loopback address: set-up, readiness waits and classified send/receive.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/unique_resource.h"

namespace ostrin::platform {

// A socket of the platform (a SOCKET on Windows, a descriptor elsewhere) held in one integer type.
using SocketHandle = std::uintptr_t;

// The value that names no socket (INVALID_SOCKET on Windows, -1 elsewhere).
inline constexpr SocketHandle INVALID_SOCKET_HANDLE = ~SocketHandle{0};

// Starts the platform's socket library (Windows Sockets asked for version 1.1; nothing on Linux).
// Each successful start is matched by one CleanupSocketLibrary.
bool StartSocketLibrary();
void CleanupSocketLibrary();

// Closes a socket; INVALID_SOCKET_HANDLE is ignored.
void CloseSocket(SocketHandle socket);

// Closes a socket with a reset instead of an orderly shutdown (linger time 0), so the peer sees a
// broken connection rather than the end of the stream.
void AbortSocket(SocketHandle socket);

struct SSocketTraits {
  using Value = SocketHandle;
  static SocketHandle Invalid() { return INVALID_SOCKET_HANDLE; }
  static bool IsValid(SocketHandle socket) { return socket != INVALID_SOCKET_HANDLE; }
  static void Close(SocketHandle socket) { CloseSocket(socket); }
};

// An owned socket, closed by its owner.
using UniqueSocket = CUniqueResource<SSocketTraits>;

// A TCP/IPv4 socket that child processes do not inherit; INVALID_SOCKET_HANDLE on failure.
SocketHandle CreateTcpSocket();

// Readies a listener's socket before it binds: its port may be bound again while connections of an
// earlier listener linger, and no other socket may bind the port while this one holds it. Linux:
// SO_REUSEADDR (which never lets two sockets listen on one port). Windows: SO_EXCLUSIVEADDRUSE, as
// Windows binds over lingering connections anyway and its SO_REUSEADDR would let any local program
// bind the service's port beside it and take its clients.
bool SetListenerAddressOptions(SocketHandle socket);

// Binds to 127.0.0.1 and the port (0: the system picks a free port).
bool BindLoopback(SocketHandle socket, uint16_t port);

// Starts listening with the longest backlog the system takes (SOMAXCONN; Linux cuts it to its
// net.core.somaxconn), so that a burst of clients is connected at once instead of waiting for its
// retransmitted SYNs. The listening socket does not block in AcceptConnection: a connection that
// vanishes between a readiness wait and the accept makes the accept fail instead of hanging.
bool ListenSocket(SocketHandle socket);

// The local port a socket is bound to; 0 when it has none.
uint16_t LocalPort(SocketHandle socket);

// Accepts one pending connection and stores the peer's dotted IPv4 address.
// INVALID_SOCKET_HANDLE when there is none or the accept fails.
SocketHandle AcceptConnection(SocketHandle listener, std::string* peerAddress);

// Looks up a host name as the platform's host-name lookup does and gives its first IPv4 address
// (in network byte order) and its dotted text. An empty name names no host.
bool LookupHostIPv4(const std::string& hostName, uint32_t* address, std::string* dottedAddress);

// Connects to an IPv4 address (network byte order) and port; returns when the connection stands
// or has failed.
bool ConnectSocket(SocketHandle socket, uint32_t address, uint16_t port);

enum class SocketReadiness { Readable, Writable };
enum class SocketWait { Ready, TimedOut, Failed };

// Waits until the socket is readable (data, end of stream, an error or a pending connection) or
// writable, for at most timeoutMs milliseconds (0: just look). A signal does not cut the wait short.
SocketWait WaitSocket(SocketHandle socket, SocketReadiness readiness, int32_t timeoutMs);

enum class SocketIoStatus {
  Transferred,  // bytes > 0 (or a send of 0 bytes)
  PeerClosed,   // receive only: the peer ended the stream in order
  WouldBlock,   // nothing could be moved right now
  Broken,       // the connection is gone: broken pipe, reset, aborted or shut down
  Failed,       // any other failure; the system's last error tells which
};

struct SocketIoResult {
  SocketIoStatus status;
  size_t bytes;
};

// Receive and send never block: each moves what it can at once (WouldBlock when nothing), so that
// the caller's readiness wait is the only wait. A blocking send of more bytes than the socket has
// room for would otherwise sit in the system until the peer reads, however long that takes.
// Interrupted calls are repeated.

// Receives up to length bytes.
SocketIoResult ReceiveSocket(SocketHandle socket, void* buffer, size_t length);

// Sends up to length bytes. A peer that has gone yields Broken and never a signal.
SocketIoResult SendSocket(SocketHandle socket, const void* buffer, size_t length);

}  // namespace ostrin::platform
