#pragma once

#include <cstddef>
#include <cstdint>

#include "socket_platform.h"

// The bytes of one connected socket, as the socket layer reads and writes
// them: plain TCP (CTcpStream) or a layer over it such as TLS (OpenSSL on
// Linux, SChannel on Windows). A stream works on the descriptor it is handed
// and owns nothing of it: the socket (or the lingering close that takes the
// socket over) closes the descriptor after the stream is done.
//
// Everything above the stream goes through it for data; the loop still
// watches the descriptor, so a stream that buffers says what it holds (the
// socket has itself dispatched again while bytes are held) and which kernel
// readiness it needs (a TLS handshake may have to write while its caller only
// reads, and the other way round).
class IByteStream {
public:
    virtual ~IByteStream() = default;

    // Reads up to n bytes: the count, 0 at the orderly end of the stream, or
    // -1 with the error in nError (WSAEWOULDBLOCK when nothing is there now).
    virtual std::ptrdiff_t Read(SOCKET h, void* p, std::size_t n, int& nError) = 0;
    // Writes up to n bytes: the count taken (0 when none can be taken now), or
    // -1 with the error in nError when the connection is broken.
    virtual std::ptrdiff_t Write(SOCKET h, const void* p, std::size_t n, int& nError) = 0;

    // Readable bytes already taken from the kernel, which the kernel no longer
    // signals. Plain TCP: none.
    virtual std::size_t Held() const = 0;
    // The kernel readiness to watch (sys::kIn, kOut, kRdHup) for what the caller
    // wants (sys::kIn: to read; kOut: to write what is queued; kRdHup: the
    // peer's close). Plain TCP: the same.
    virtual std::uint32_t Interest(std::uint32_t nWanted) const = 0;
    // Which of the caller's wishes the kernel readiness nReady lets go on
    // (a handshake that waited for writability unblocks a read). Plain TCP: the same.
    virtual std::uint32_t Readiness(std::uint32_t nReady) const = 0;

    // Ends the sending side in order (TLS: close_notify, then the TCP
    // shutdown). False when it must be called again once the descriptor is
    // writable; true when done (or when nothing more can be done).
    virtual bool ShutdownSending(SOCKET h) = 0;
    // Input not read yet (in the kernel or held), and output the peer has not
    // acknowledged (or, for TLS, a close_notify not yet sent). True when the
    // system cannot say: closing then lingers, which is always safe.
    virtual bool HasUnread(SOCKET h) const = 0;
    virtual bool HasUnacked(SOCKET h) const = 0;

    // Why the stream failed (say, "certificate not trusted"), or null. The
    // socket keeps its stream after a Close that does not linger, so its owner
    // can read this in OnConnect, OnClose or after Close.
    virtual const char* FailureText() const { return nullptr; }
};
