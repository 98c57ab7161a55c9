#pragma once

// Name lookups fail with the Windows Sockets numbers WSAHOST_NOT_FOUND (11001),
// WSATRY_AGAIN (11002) and WSANO_RECOVERY (11003) on every platform.
#include "socket_platform.h"
