#pragma once

// What the socket layer needs of the system, on Windows: Winsock 2. Readiness
// bits are the loop's own (with epoll's values); error numbers are the Windows
// Sockets numbers (WSAEWOULDBLOCK 10035, WSAECONNREFUSED 10061).

#include <sys/types.h>
#include <windows.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdint>
#include <cstring>

namespace sys {

enum : std::uint32_t {
    kIn = 0x001,
    kOut = 0x004,
    kErr = 0x008,
    kHup = 0x010,
    kRdHup = 0x2000,
};

enum : int {
    kErrInvalid = WSAEINVAL,
    kErrNotSocket = WSAENOTSOCK,
    kErrIsConnected = WSAEISCONN,
    kErrNotConnected = WSAENOTCONN,
    kErrHostUnreachable = WSAEHOSTUNREACH,
    kErrRefused = WSAECONNREFUSED,
    kErrNoFamily = WSAEAFNOSUPPORT,
    kErrInProgress = WSAEWOULDBLOCK,  // a connection under way
    kErrInterrupted = WSAEINTR,
    kErrAborted = WSAECONNABORTED,
    kErrTimedOut = WSAETIMEDOUT,
    kErrTooManyFiles = WSAEMFILE,
    kErrTooManySystemFiles = WSAENOBUFS,
};

inline int LastError() {
    return WSAGetLastError();
}

inline bool IsWouldBlock(int nError) {
    return nError == WSAEWOULDBLOCK;
}

inline SOCKET OpenStreamSocket(int nFamily) {
    SOCKET h = WSASocketW(nFamily, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_OVERLAPPED);
    if (h != INVALID_SOCKET) {
        u_long nOn = 1;
        ioctlsocket(h, FIONBIO, &nOn);
        // Programs this one starts must not hold the connection open.
        SetHandleInformation(reinterpret_cast<HANDLE>(h), HANDLE_FLAG_INHERIT, 0);
    }
    return h;
}

// The accepted socket is non-blocking and selects the listener's events until
// it is registered itself.
inline SOCKET AcceptConnection(SOCKET hListener) {
    SOCKET h = accept(hListener, nullptr, nullptr);
    if (h != INVALID_SOCKET)
        SetHandleInformation(reinterpret_cast<HANDLE>(h), HANDLE_FLAG_INHERIT, 0);
    return h;
}

inline void CloseSocket(SOCKET h) {
    closesocket(h);
}

inline ssize_t SendSome(SOCKET h, const char* p, std::size_t n, int nFlags = 0) {
    return send(h, p, n > 0x7fffffff ? 0x7fffffff : int(n), nFlags);
}

inline ssize_t ReceiveSome(SOCKET h, void* p, std::size_t n, int nFlags = 0) {
    return recv(h, static_cast<char*>(p), n > 0x7fffffff ? 0x7fffffff : int(n), nFlags);
}

inline void ShutdownSending(SOCKET h) {
    shutdown(h, SD_SEND);
}

inline int PendingError(SOCKET h) {
    int nError = 0;
    int nLength = sizeof nError;
    getsockopt(h, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&nError), &nLength);
    return nError;
}

inline void SetOption(SOCKET h, int nLevel, int nName, int nValue) {
    setsockopt(h, nLevel, nName, reinterpret_cast<const char*>(&nValue), sizeof nValue);
}

// Nothing to do on Windows. A plain bind takes the port again at once though
// the replaced listener's connections are still open or in TIME_WAIT, which
// SO_EXCLUSIVEADDRUSE would refuse (WSAEADDRINUSE). And since Windows Server
// 2003, so on every Windows this runs on, a port bound without options is not
// shared: another account's bind to it fails, with SO_REUSEADDR too; only
// programs of the same account, which could end this one anyway, may share it.
inline void AllowRebind(SOCKET) {}

inline bool UnreadBytes(SOCKET h, int& nBytes) {
    u_long nCount = 0;
    if (ioctlsocket(h, FIONREAD, &nCount) != 0)
        return false;
    nBytes = int(nCount);
    return true;
}

// Windows does not say how much the peer has yet to acknowledge.
inline bool UnackedBytes(SOCKET, int&) {
    return false;
}

// getaddrinfo fails with Windows Sockets numbers already.
inline int LookupError(int nResult) {
    switch (nResult) {
        case WSATRY_AGAIN:
        case WSAHOST_NOT_FOUND:
        case WSANO_RECOVERY:
            return nResult;
        case WSANO_DATA:
        case WSAEAFNOSUPPORT:
            return WSAHOST_NOT_FOUND;
        default:
            return WSANO_RECOVERY;
    }
}

}  // namespace sys
