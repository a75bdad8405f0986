// Sockets on Linux: BSD sockets, poll for readiness, MSG_NOSIGNAL on every send, MSG_DONTWAIT on
// every send and receive.
#include "platform/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "platform/socket_system.h"

namespace ostrin::platform {

namespace {

int Fd(SocketHandle socket) { return static_cast<int>(socket); }

SocketHandle FromFd(int fd) { return fd < 0 ? INVALID_SOCKET_HANDLE : static_cast<SocketHandle>(fd); }

// Every message goes out in one send; waiting to coalesce it with the next (Nagle) only delays the
// reply the peer is waiting for.
void SendImmediately(int fd) {
  const int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

bool IsBroken(int error) { return error == EPIPE || error == ECONNRESET || error == ECONNABORTED; }

}  // namespace

bool StartSocketLibrary() { return true; }

void CleanupSocketLibrary() {}

void CloseSocket(SocketHandle socket) {
  if (socket != INVALID_SOCKET_HANDLE) ::close(Fd(socket));
}

void AbortSocket(SocketHandle socket) {
  if (socket == INVALID_SOCKET_HANDLE) return;
  const linger noLinger{1, 0};
  ::setsockopt(Fd(socket), SOL_SOCKET, SO_LINGER, &noLinger, sizeof noLinger);
  ::close(Fd(socket));
}

SocketHandle CreateTcpSocket() { return FromFd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP)); }

bool SetListenerAddressOptions(SocketHandle socket) {
  const int on = 1;
  return ::setsockopt(Fd(socket), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0;
}

bool BindLoopback(SocketHandle socket, uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return ::bind(Fd(socket), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

bool ListenSocket(SocketHandle socket) {
  if (::listen(Fd(socket), SOMAXCONN) != 0) return false;
  const int flags = ::fcntl(Fd(socket), F_GETFL);
  return flags >= 0 && ::fcntl(Fd(socket), F_SETFL, flags | O_NONBLOCK) == 0;
}

uint16_t LocalPort(SocketHandle socket) {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  if (socket == INVALID_SOCKET_HANDLE ||
      ::getsockname(Fd(socket), reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
      address.sin_family != AF_INET) {
    return 0;
  }
  return ntohs(address.sin_port);
}

SocketHandle AcceptConnection(SocketHandle listener, std::string* peerAddress) {
  sockaddr_in address{};
  for (;;) {
    socklen_t length = sizeof address;
    const int fd = ::accept4(Fd(listener), reinterpret_cast<sockaddr*>(&address), &length, SOCK_CLOEXEC);
    if (fd >= 0) {
      SendImmediately(fd);
      if (peerAddress != nullptr) *peerAddress = DottedIPv4(address.sin_addr.s_addr);
      return FromFd(fd);
    }
    if (errno != EINTR) return INVALID_SOCKET_HANDLE;
  }
}

uint32_t ErrorEmptyHostName() { return EINVAL; }

bool ConnectSocket(SocketHandle socket, uint32_t address, uint16_t port) {
  sockaddr_in target{};
  target.sin_family = AF_INET;
  target.sin_port = htons(port);
  target.sin_addr.s_addr = address;
  SendImmediately(Fd(socket));
  if (::connect(Fd(socket), reinterpret_cast<const sockaddr*>(&target), sizeof target) == 0) return true;
  if (errno != EINTR) return false;
  // An interrupted connect goes on in the background; wait for its outcome instead of starting anew.
  pollfd entry{Fd(socket), POLLOUT, 0};
  while (::poll(&entry, 1, -1) < 0) {
    if (errno != EINTR) return false;
  }
  int error = 0;
  socklen_t length = sizeof error;
  if (::getsockopt(Fd(socket), SOL_SOCKET, SO_ERROR, &error, &length) != 0) return false;
  if (error != 0) {
    errno = error;
    return false;
  }
  return true;
}

SocketWait WaitSocket(SocketHandle socket, SocketReadiness readiness, int32_t timeoutMs) {
  if (socket == INVALID_SOCKET_HANDLE) {
    errno = EBADF;
    return SocketWait::Failed;
  }
  if (timeoutMs < 0) timeoutMs = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  pollfd entry{Fd(socket), static_cast<short>(readiness == SocketReadiness::Readable ? POLLIN : POLLOUT), 0};
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    const int result = ::poll(&entry, 1, left > 0 ? static_cast<int>(left) : 0);
    if (result > 0) {
      // An error or hang-up counts as ready: the receive or send that follows reports it.
      return (entry.revents & POLLNVAL) != 0 ? SocketWait::Failed : SocketWait::Ready;
    }
    if (result == 0) return SocketWait::TimedOut;
    if (errno != EINTR) return SocketWait::Failed;
  }
}

SocketIoResult ReceiveSocket(SocketHandle socket, void* buffer, size_t length) {
  for (;;) {
    const ssize_t got = ::recv(Fd(socket), buffer, length, MSG_DONTWAIT);
    if (got > 0) return {SocketIoStatus::Transferred, static_cast<size_t>(got)};
    if (got == 0) return {length == 0 ? SocketIoStatus::Transferred : SocketIoStatus::PeerClosed, 0};
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return {SocketIoStatus::WouldBlock, 0};
    return {IsBroken(errno) ? SocketIoStatus::Broken : SocketIoStatus::Failed, 0};
  }
}

SocketIoResult SendSocket(SocketHandle socket, const void* buffer, size_t length) {
  for (;;) {
    const ssize_t sent = ::send(Fd(socket), buffer, length, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent >= 0) return {SocketIoStatus::Transferred, static_cast<size_t>(sent)};
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return {SocketIoStatus::WouldBlock, 0};
    return {IsBroken(errno) ? SocketIoStatus::Broken : SocketIoStatus::Failed, 0};
  }
}

}  // namespace ostrin::platform
