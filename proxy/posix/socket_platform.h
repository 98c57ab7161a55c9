#pragma once

// What the socket layer needs of the system, on Linux: BSD sockets, epoll's
// readiness bits and errno. The Windows counterpart is win32/socket_platform.h.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

using SOCKET = int;
constexpr SOCKET INVALID_SOCKET = -1;
constexpr int SOCKET_ERROR = -1;

// Network events a socket can ask to be told of.
enum : long {
    FD_READ = 0x01,
    FD_WRITE = 0x02,
    FD_OOB = 0x04,
    FD_ACCEPT = 0x08,
    FD_CONNECT = 0x10,
    FD_CLOSE = 0x20,
};

// Error numbers are the system's errno values; a name lookup fails with the
// resolver's own (negative) getaddrinfo numbers, under the Windows Sockets
// names the portable code uses.
constexpr int WSAEWOULDBLOCK = EWOULDBLOCK;
constexpr int WSAHOST_NOT_FOUND = EAI_NONAME;
constexpr int WSATRY_AGAIN = EAI_AGAIN;
constexpr int WSANO_RECOVERY = EAI_FAIL;

namespace sys {

// Readiness as the loop reports it to a handler: epoll's own bits.
enum : std::uint32_t {
    kIn = EPOLLIN,
    kOut = EPOLLOUT,
    kRdHup = EPOLLRDHUP,
    kHup = EPOLLHUP,
    kErr = EPOLLERR,
};

enum : int {
    kErrInvalid = EINVAL,
    kErrNotSocket = ENOTSOCK,
    kErrIsConnected = EISCONN,
    kErrNotConnected = ENOTCONN,
    kErrHostUnreachable = EHOSTUNREACH,
    kErrRefused = ECONNREFUSED,
    kErrNoFamily = EAFNOSUPPORT,
    kErrInProgress = EINPROGRESS,  // a connection under way
    kErrInterrupted = EINTR,
    kErrAborted = ECONNABORTED,
    kErrTimedOut = ETIMEDOUT,
    kErrTooManyFiles = EMFILE,
    kErrTooManySystemFiles = ENFILE,
};

inline int LastError() {
    return errno;
}

inline bool IsWouldBlock(int nError) {
    return nError == EAGAIN || nError == EWOULDBLOCK;
}

inline SOCKET OpenStreamSocket(int nFamily) {
    return socket(nFamily, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
}

inline SOCKET AcceptConnection(SOCKET hListener) {
    return accept4(hListener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
}

inline void CloseSocket(SOCKET h) {
    close(h);
}

inline ssize_t SendSome(SOCKET h, const char* p, std::size_t n, int nFlags = 0) {
    return send(h, p, n, nFlags | MSG_NOSIGNAL | MSG_DONTWAIT);
}

inline ssize_t ReceiveSome(SOCKET h, void* p, std::size_t n, int nFlags = 0) {
    return recv(h, p, n, nFlags | MSG_DONTWAIT);
}

inline void ShutdownSending(SOCKET h) {
    shutdown(h, SHUT_WR);
}

inline int PendingError(SOCKET h) {
    int nError = 0;
    socklen_t nLength = sizeof nError;
    getsockopt(h, SOL_SOCKET, SO_ERROR, &nError, &nLength);
    return nError;
}

inline void SetOption(SOCKET h, int nLevel, int nName, int nValue) {
    setsockopt(h, nLevel, nName, &nValue, sizeof nValue);
}

// A listener's port can be bound again while old connections on it sit in TIME_WAIT.
inline void AllowRebind(SOCKET h) {
    SetOption(h, SOL_SOCKET, SO_REUSEADDR, 1);
}

// False when the system cannot say.
inline bool UnreadBytes(SOCKET h, int& nBytes) {
    return ioctl(h, FIONREAD, &nBytes) == 0;
}

// Sent but not yet acknowledged by the peer; false when the system cannot say.
inline bool UnackedBytes(SOCKET h, int& nBytes) {
    return ioctl(h, TIOCOUTQ, &nBytes) == 0;
}

// A getaddrinfo result as one of the lookup errors above.
inline int LookupError(int nResult) {
    switch (nResult) {
        case EAI_AGAIN:
            return WSATRY_AGAIN;
        case EAI_NONAME:
#ifdef EAI_NODATA
        case EAI_NODATA:
#endif
        case EAI_FAMILY:
            return WSAHOST_NOT_FOUND;
        default:
            return WSANO_RECOVERY;
    }
}

}  // namespace sys
