#pragma once

#include "event_loop.h"
#include "socket_platform.h"

// Accepts the next connection waiting on hListener. Out of descriptors, it
// asks the loop to shed a connection that can be spared, and failing that
// takes the new connection with the loop's spare descriptor and closes it, so
// the waiting client is refused instead of waking the listener again and again.
// On failure: INVALID_SOCKET, the error in nError, and whether waiting cures
// it at once (no connection after all, an interrupted or aborted one) in bTransient.
SOCKET AcceptConnection(EventLoop& loop, SOCKET hListener, int& nError, bool& bTransient);
