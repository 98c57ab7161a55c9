#pragma once

#include <cstddef>

class CAsyncSocket;

// How a CAsyncSocket sends: straight to its stream while nothing waits, and
// what the stream does not take now into the socket's SendQueue, written when
// the socket turns writable. Two paired sockets throttle each other here: one
// is read only while the other's queue is below the high-water mark.
class SendPath {
public:
    // Send's work once the socket may send: nBufLen, or SOCKET_ERROR.
    static int Send(CAsyncSocket& socket, const char* p, int nBufLen);
    // Writes what is queued; the socket is writable.
    static void Flush(CAsyncSocket& socket);
    // Drops what is queued (nothing more can be sent); the partner may read again.
    static void Drop(CAsyncSocket& socket);
    // Whether reading the socket waits for its partner's queue to drain.
    static bool IsReadBlocked(CAsyncSocket& socket);
};
