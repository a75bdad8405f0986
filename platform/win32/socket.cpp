// Sockets on Windows: Winsock 2 (started asking for version 1.1), select for readiness.
#include "platform/socket.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <climits>

#include "platform/socket_system.h"

namespace ostrin::platform {

namespace {

SOCKET Native(SocketHandle socket) { return static_cast<SOCKET>(socket); }

SocketHandle FromNative(SOCKET socket) {
  return socket == INVALID_SOCKET ? INVALID_SOCKET_HANDLE : static_cast<SocketHandle>(socket);
}

// Keeps child processes from inheriting the socket (the counterpart of CLOEXEC).
void NotInheritable(SOCKET socket) {
  SetHandleInformation(reinterpret_cast<HANDLE>(socket), HANDLE_FLAG_INHERIT, 0);
}

bool MakeNonBlocking(SOCKET socket) {
  u_long nonBlocking = 1;
  return ioctlsocket(socket, FIONBIO, &nonBlocking) == 0;
}

bool IsBroken(int error) {
  return error == WSAECONNRESET || error == WSAECONNABORTED || error == WSAESHUTDOWN || error == WSAENETRESET;
}

// Winsock takes byte counts as int.
int ClampLength(size_t length) { return length > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(length); }

SocketIoResult Classify(int error) {
  if (error == WSAEWOULDBLOCK) return {SocketIoStatus::WouldBlock, 0};
  return {IsBroken(error) ? SocketIoStatus::Broken : SocketIoStatus::Failed, 0};
}

}  // namespace

bool StartSocketLibrary() {
  WSADATA data{};
  return WSAStartup(MAKEWORD(1, 1), &data) == 0;
}

void CleanupSocketLibrary() { WSACleanup(); }

void CloseSocket(SocketHandle socket) {
  if (socket != INVALID_SOCKET_HANDLE) closesocket(Native(socket));
}

void AbortSocket(SocketHandle socket) {
  if (socket == INVALID_SOCKET_HANDLE) return;
  linger noLinger{};
  noLinger.l_onoff = 1;
  noLinger.l_linger = 0;
  setsockopt(Native(socket), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&noLinger), sizeof noLinger);
  closesocket(Native(socket));
}

SocketHandle CreateTcpSocket() {
  SOCKET socket = WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
  if (socket == INVALID_SOCKET) {
    // Systems that predate WSA_FLAG_NO_HANDLE_INHERIT refuse the flag.
    socket = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (socket != INVALID_SOCKET) NotInheritable(socket);
  }
  return FromNative(socket);
}

bool SetListenerAddressOptions(SocketHandle socket) {
  const BOOL on = TRUE;
  return setsockopt(Native(socket), SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on), sizeof on) ==
         0;
}

bool BindLoopback(SocketHandle socket, uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return bind(Native(socket), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

bool ListenSocket(SocketHandle socket) {
  // winsock2.h's SOMAXCONN asks the provider for its largest reasonable backlog.
  return listen(Native(socket), SOMAXCONN) == 0 && MakeNonBlocking(Native(socket));
}

uint16_t LocalPort(SocketHandle socket) {
  sockaddr_in address{};
  int length = sizeof address;
  if (socket == INVALID_SOCKET_HANDLE ||
      getsockname(Native(socket), reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
      address.sin_family != AF_INET) {
    return 0;
  }
  return ntohs(address.sin_port);
}

// Every message goes out in one send; waiting to coalesce it with the next (Nagle) only delays the
// reply the peer is waiting for.
static void SendImmediately(SOCKET socket) {
  const BOOL on = TRUE;
  setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
}

SocketHandle AcceptConnection(SocketHandle listener, std::string* peerAddress) {
  sockaddr_in address{};
  int length = sizeof address;
  const SOCKET accepted = accept(Native(listener), reinterpret_cast<sockaddr*>(&address), &length);
  if (accepted == INVALID_SOCKET) return INVALID_SOCKET_HANDLE;
  // The accepted socket inherits the listener's non-blocking mode, which receive and send rely on.
  NotInheritable(accepted);
  SendImmediately(accepted);
  if (peerAddress != nullptr) *peerAddress = DottedIPv4(address.sin_addr.s_addr);
  return FromNative(accepted);
}

uint32_t ErrorEmptyHostName() { return WSAHOST_NOT_FOUND; }

bool ConnectSocket(SocketHandle socket, uint32_t address, uint16_t port) {
  sockaddr_in target{};
  target.sin_family = AF_INET;
  target.sin_port = htons(port);
  target.sin_addr.s_addr = address;
  SendImmediately(Native(socket));
  if (connect(Native(socket), reinterpret_cast<const sockaddr*>(&target), sizeof target) != 0) return false;
  // Winsock has no per-call MSG_DONTWAIT: a connected socket does not block at all (see SendSocket).
  return MakeNonBlocking(Native(socket));
}

SocketWait WaitSocket(SocketHandle socket, SocketReadiness readiness, int32_t timeoutMs) {
  if (socket == INVALID_SOCKET_HANDLE) {
    WSASetLastError(WSAENOTSOCK);
    return SocketWait::Failed;
  }
  if (timeoutMs < 0) timeoutMs = 0;
  fd_set set;
  FD_ZERO(&set);
  FD_SET(Native(socket), &set);
  timeval limit{};
  limit.tv_sec = timeoutMs / 1000;
  limit.tv_usec = (timeoutMs % 1000) * 1000;
  const int result = readiness == SocketReadiness::Readable ? select(0, &set, nullptr, nullptr, &limit)
                                                            : select(0, nullptr, &set, nullptr, &limit);
  if (result > 0) return SocketWait::Ready;
  return result == 0 ? SocketWait::TimedOut : SocketWait::Failed;
}

SocketIoResult ReceiveSocket(SocketHandle socket, void* buffer, size_t length) {
  const int got = recv(Native(socket), static_cast<char*>(buffer), ClampLength(length), 0);
  if (got > 0) return {SocketIoStatus::Transferred, static_cast<size_t>(got)};
  if (got == 0) return {length == 0 ? SocketIoStatus::Transferred : SocketIoStatus::PeerClosed, 0};
  return Classify(WSAGetLastError());
}

SocketIoResult SendSocket(SocketHandle socket, const void* buffer, size_t length) {
  const int sent = send(Native(socket), static_cast<const char*>(buffer), ClampLength(length), 0);
  if (sent >= 0) return {SocketIoStatus::Transferred, static_cast<size_t>(sent)};
  return Classify(WSAGetLastError());
}

}  // namespace ostrin::platform
