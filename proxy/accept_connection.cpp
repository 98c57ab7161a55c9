#include "accept_connection.h"

SOCKET AcceptConnection(EventLoop& loop, SOCKET hListener, int& nError, bool& bTransient) {
    SOCKET fd = sys::AcceptConnection(hListener);
    if (fd == INVALID_SOCKET && EventLoop::IsOutOfDescriptors(sys::LastError()) &&
        loop.ShedConnection()) {
        fd = sys::AcceptConnection(hListener);
    }
    if (fd != INVALID_SOCKET)
        return fd;
    nError = sys::LastError();
    int nCause = nError;
    if (EventLoop::IsOutOfDescriptors(nError)) {
        loop.ReleaseSpareFd();
        SOCKET fdRefused = sys::AcceptConnection(hListener);
        nCause = fdRefused != INVALID_SOCKET ? WSAEWOULDBLOCK : sys::LastError();
        if (fdRefused != INVALID_SOCKET)
            sys::CloseSocket(fdRefused);
        loop.RestoreSpareFd();
    }
    bTransient =
        sys::IsWouldBlock(nCause) || nCause == sys::kErrInterrupted || nCause == sys::kErrAborted;
    return INVALID_SOCKET;
}
