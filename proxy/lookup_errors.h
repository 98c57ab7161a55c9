#pragma once

// Name lookups fail with WSAHOST_NOT_FOUND, WSATRY_AGAIN and WSANO_RECOVERY:
// the Windows Sockets numbers on Windows, getaddrinfo's own on Linux.
#include "socket_platform.h"
