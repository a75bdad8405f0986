// Sockets on every system: host-name lookup and address text, through the calls that Winsock and
// BSD sockets share. The rest of the socket layer is in platform/posix/ and platform/win32/.
#include "platform/socket.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include "platform/socket_system.h"
#include "platform/system_error.h"

namespace ostrin::platform {

std::string DottedIPv4(uint32_t address) {
  in_addr value{};
  value.s_addr = address;
  char text[INET_ADDRSTRLEN] = {};
  return inet_ntop(AF_INET, &value, text, sizeof text) != nullptr ? std::string(text) : std::string();
}

bool LookupHostIPv4(const std::string& hostName, uint32_t* address, std::string* dottedAddress) {
  if (hostName.empty()) {
    SetLastSystemError(ErrorEmptyHostName());
    return false;
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* results = nullptr;
  // getaddrinfo instead of gethostbyname: same answer, and safe to call from any thread.
  if (getaddrinfo(hostName.c_str(), nullptr, &hints, &results) != 0 || results == nullptr) return false;
  const in_addr first = reinterpret_cast<const sockaddr_in*>(results->ai_addr)->sin_addr;
  freeaddrinfo(results);
  *address = first.s_addr;
  if (dottedAddress != nullptr) *dottedAddress = DottedIPv4(first.s_addr);
  return true;
}

}  // namespace ostrin::platform
