#pragma once

#include <string>

#include "socket_platform.h"

// Socket addresses as the socket layer needs them: numeric ones parsed,
// IPv4 mapped into IPv6, ports put in and read back.
namespace address {

// A numeric IPv4 or IPv6 address, port 0; false when strHost is not one.
bool ParseNumeric(const std::string& strHost, sockaddr_storage& address);

// The IPv4 address as an IPv4-mapped IPv6 address (::ffff:a.b.c.d).
sockaddr_storage MapToIPv6(const sockaddr_storage& address4);

// Puts the port into the address and returns the address's length.
socklen_t SetPort(sockaddr_storage& address, int nPort);

// Binds h to local with the port; on IPv6 and bEveryInterface, IPv4 too,
// whatever the system's default. False with the error in sys::LastError().
bool Bind(SOCKET h, sockaddr_storage& local, unsigned nPort, bool bEveryInterface);

// The local port of the socket, or 0 when it has none.
int LocalPort(SOCKET h);

}  // namespace address
