// What each system's sockets give platform/socket.cpp, and what it gives them back. Only the socket
// sources include it.
#pragma once

#include <cstdint>
#include <string>

namespace ostrin::platform {

// The dotted text of an IPv4 address in network byte order; empty when the system cannot word it.
std::string DottedIPv4(uint32_t address);

// What a lookup of an empty host name answers: EINVAL on Linux; WSAHOST_NOT_FOUND on Windows, which
// would otherwise resolve an empty name to the local machine.
uint32_t ErrorEmptyHostName();

}  // namespace ostrin::platform
