#include "tcp_stream.h"

CTcpStream& CTcpStream::Plain() {
    static CTcpStream s_plain;
    return s_plain;
}

std::ptrdiff_t CTcpStream::Read(SOCKET h, void* p, std::size_t n, int& nError) {
    for (;;) {
        std::ptrdiff_t nRead = sys::ReceiveSome(h, p, n);
        if (nRead >= 0)
            return nRead;
        nError = sys::LastError();
        if (nError != sys::kErrInterrupted)
            break;
    }
    if (sys::IsWouldBlock(nError))
        nError = WSAEWOULDBLOCK;
    return -1;
}

std::ptrdiff_t CTcpStream::Write(SOCKET h, const void* p, std::size_t n, int& nError) {
    for (;;) {
        std::ptrdiff_t nSent = sys::SendSome(h, static_cast<const char*>(p), n);
        if (nSent >= 0)
            return nSent;
        nError = sys::LastError();
        if (sys::IsWouldBlock(nError))
            return 0;
        if (nError != sys::kErrInterrupted)
            return -1;
    }
}

bool CTcpStream::ShutdownSending(SOCKET h) {
    sys::ShutdownSending(h);
    return true;
}

bool CTcpStream::HasUnread(SOCKET h) const {
    int nUnread = 0;
    return !sys::UnreadBytes(h, nUnread) || nUnread != 0;
}

bool CTcpStream::HasUnacked(SOCKET h) const {
    int nUnsent = 0;
    return !sys::UnackedBytes(h, nUnsent) || nUnsent != 0;
}
