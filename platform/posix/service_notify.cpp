// Readiness reports on Linux: systemd's notify protocol, one datagram to the socket $NOTIFY_SOCKET
// names (a path, or an abstract name written with a leading '@'), as sd_notify sends it.
#include "platform/service_notify.h"

#include <sys/socket.h>
#include <sys/un.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "platform/posix/unique_fd.h"

namespace ostrin::platform {

namespace {

constexpr char NOTIFY_SOCKET_VARIABLE[] = "NOTIFY_SOCKET";
constexpr std::string_view STATE_READY = "READY=1";
constexpr std::string_view STATE_STOPPING = "STOPPING=1";

void Notify(std::string_view state) {
  const char* target = std::getenv(NOTIFY_SOCKET_VARIABLE);
  if (target == nullptr) return;
  const size_t length = std::strlen(target);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  // A path must be absolute; '@' stands for the leading zero byte of an abstract name. Anything else,
  // or a name longer than the address can hold, is not a socket systemd made.
  if ((target[0] != '/' && target[0] != '@') || length < 2 || length > sizeof address.sun_path) return;
  std::memcpy(address.sun_path, target, length);
  if (address.sun_path[0] == '@') address.sun_path[0] = '\0';
  // A path needs its terminating zero unless it fills the field; an abstract name is exactly its bytes.
  const size_t nameLength = target[0] == '/' && length < sizeof address.sun_path ? length + 1 : length;
  const auto addressLength = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + nameLength);

  UniqueFd socket(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!socket.IsValid()) return;
  // A manager that does not read must not hold up the service: the send never blocks.
  const ssize_t ignored = ::sendto(socket.Get(), state.data(), state.size(), MSG_NOSIGNAL | MSG_DONTWAIT,
                                   reinterpret_cast<const sockaddr*>(&address), addressLength);
  (void)ignored;
}

}  // namespace

void NotifyServiceReady() { Notify(STATE_READY); }

void NotifyServiceStopping() { Notify(STATE_STOPPING); }

}  // namespace ostrin::platform
