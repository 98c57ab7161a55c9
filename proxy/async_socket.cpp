#include "async_socket.h"

#include "accept_connection.h"
#include "send_path.h"
#include "send_queue.h"
#include "socket_address.h"
#include "socket_connector.h"
#include "tcp_stream.h"

namespace {

thread_local int t_nLastError = 0;

// After a failed accept that waiting cannot cure at once (out of memory, say),
// the listener rests this long instead of being woken for the same connection.
constexpr auto kAcceptPause = std::chrono::milliseconds(100);

}  // namespace

CAsyncSocket::CAsyncSocket() = default;

CAsyncSocket::~CAsyncSocket() {
    Close();
    if (m_pPartner != nullptr) {
        m_pPartner->m_pPartner = nullptr;
    }
}

bool CAsyncSocket::Fail(int nError) {
    t_nLastError = nError;
    return false;
}

int CAsyncSocket::GetLastError() {
    return t_nLastError;
}

IByteStream& CAsyncSocket::Stream() const {
    return m_pStream ? *m_pStream : CTcpStream::Plain();
}

bool CAsyncSocket::OpenSocket(int nFamily) {
    m_hSocket = sys::OpenStreamSocket(nFamily);
    if (m_hSocket == INVALID_SOCKET && EventLoop::IsOutOfDescriptors(sys::LastError()) &&
        Loop().ShedConnection()) {
        m_hSocket = sys::OpenStreamSocket(nFamily);
    }
    if (m_hSocket == INVALID_SOCKET) {
        return Fail(sys::LastError());
    }
    m_nFamily = std::uint8_t(nFamily);
    m_pStream.reset();  // a new connection starts plain
    // The relay writes line by line; Nagle with delayed ACKs would stall each
    // POP3 round trip by tens of milliseconds. Accepted connections inherit it.
    sys::SetOption(m_hSocket, IPPROTO_TCP, TCP_NODELAY, 1);
    return true;
}

bool CAsyncSocket::Create(unsigned nSocketPort, int nSocketType, long lEvent,
                          const char* lpszSocketAddress) {
    if (m_hSocket != INVALID_SOCKET || nSocketType != SOCK_STREAM || nSocketPort > 65535) {
        return Fail(sys::kErrInvalid);
    }
    sockaddr_storage local{};
    bool bBind = nSocketPort != 0 || lpszSocketAddress != nullptr;
    int nFamily = AF_INET6;
    if (lpszSocketAddress != nullptr) {
        if (!address::ParseNumeric(lpszSocketAddress, local)) {
            return Fail(sys::kErrInvalid);
        }
        nFamily = local.ss_family;
    }
    if (!OpenSocket(nFamily)) {
        if (lpszSocketAddress != nullptr || t_nLastError != sys::kErrNoFamily) {
            return false;
        }
        nFamily = AF_INET;  // a system without IPv6
        if (!OpenSocket(nFamily))
            return false;
    }
    if (lpszSocketAddress == nullptr) {
        local.ss_family = decltype(local.ss_family)(nFamily);
    }
    if (bBind) {
        // A replaced listener's old connections may sit in TIME_WAIT on this port.
        sys::AllowRebind(m_hSocket);
        if (!address::Bind(m_hSocket, local, nSocketPort, lpszSocketAddress == nullptr)) {
            int nError = sys::LastError();
            CloseDescriptor();
            return Fail(nError);
        }
    }
    m_state = State::Idle;
    // Nothing is watched yet: a socket that will listen is not listening before
    // its AsyncSelect, and one that will connect has nothing to report.
    m_lEvent = std::int32_t(lEvent);
    return true;
}

bool CAsyncSocket::AsyncSelect(long lEvent) {
    // Before Connect, the events are kept for the connection it makes.
    if (m_hSocket == INVALID_SOCKET && m_state != State::Looking && m_state != State::Idle) {
        return Fail(sys::kErrNotSocket);
    }
    m_lEvent = std::int32_t(lEvent);
    UpdateInterest();
    return true;
}

bool CAsyncSocket::Listen(int nConnectionBacklog) {
    if (m_hSocket == INVALID_SOCKET) {
        return Fail(sys::kErrNotSocket);
    }
    if (listen(m_hSocket, nConnectionBacklog) == 0) {
        return true;
    }
    int nError = sys::LastError();
    if (GetLocalPort() != 0) {
        return Fail(nError);
    }
    // Windows listens only on a bound socket: any port, on every interface.
    sockaddr_storage local{};
    local.ss_family = m_nFamily;
    if (!address::Bind(m_hSocket, local, 0, true) || listen(m_hSocket, nConnectionBacklog) != 0) {
        return Fail(sys::LastError());
    }
    return true;
}

void CAsyncSocket::UpdateInterest() {
    if (m_hSocket == INVALID_SOCKET)
        return;
    std::uint32_t nWanted = 0;
    switch (m_state) {
        case State::Idle:
            if ((m_lEvent & FD_ACCEPT) && m_nAcceptPause == 0)
                nWanted = sys::kIn;
            break;
        case State::Connecting:
            // The end of a connection attempt shows as an error or hang-up, or
            // as the server's first bytes: no need to be woken for writability,
            // unless bytes wait or the owner speaks first (FD_WRITE).
            nWanted =
                sys::kIn |
                (GetSendQueued() > 0 || (m_lEvent & FD_WRITE) ? std::uint32_t(sys::kOut) : 0u);
            break;
        case State::Connected:
            if ((m_lEvent & FD_READ) && !m_bEof && !m_bBroken && !SendPath::IsReadBlocked(*this)) {
                nWanted |= sys::kIn;
            } else if (!(m_lEvent & FD_READ) && (m_lEvent & FD_CLOSE) && !m_bEof && !m_bBroken) {
                // Not reading, but the peer's close must still be seen at once.
                nWanted |= sys::kRdHup;
            }
            if ((GetSendQueued() > 0 || m_bShutdownDue) && !m_bBroken && !m_bHangup)
                nWanted |= sys::kOut;
            break;
        case State::Looking:
        case State::Failed:
            break;
    }
    std::uint32_t nWatched = Stream().Interest(nWanted);
    bool bReadingAgain = (nWanted & sys::kIn) && !(m_nInterest & sys::kIn);
    if (nWatched == 0 && (m_state != State::Connected || m_bHangup)) {
        // An unconnected or reset socket reports a hang-up for as long as it is watched.
        Unwatch();
    } else if (!m_bRegistered) {
        Loop().Register(m_hSocket, this, nWatched);
        m_bRegistered = true;
    } else if (nWatched != m_nWatched) {
        Loop().Modify(m_hSocket, this, nWatched);
    }
    m_nInterest = std::uint16_t(nWanted);
    m_nWatched = std::uint16_t(m_bRegistered ? nWatched : 0);
    if (bReadingAgain)
        RedispatchIfHeld();
}

void CAsyncSocket::RedispatchIfHeld() {
    if (m_bRegistered && (m_nInterest & sys::kIn) && Stream().Held() > 0)
        Loop().Redispatch(this);
}

void CAsyncSocket::Unwatch() {
    if (m_bRegistered) {
        Loop().Unregister(m_hSocket, this);
        m_bRegistered = false;
    }
    m_nInterest = m_nWatched = 0;
}

bool CAsyncSocket::Accept(CAsyncSocket& rConnectedSocket) {
    if (rConnectedSocket.m_hSocket != INVALID_SOCKET) {
        return Fail(sys::kErrInvalid);
    }
    int nError = 0;
    bool bTransient = false;
    SOCKET fd = AcceptConnection(Loop(), m_hSocket, nError, bTransient);
    if (fd == INVALID_SOCKET) {
        if (!bTransient && m_nAcceptPause == 0) {
            m_nAcceptPause = Loop().SetTimer(kAcceptPause, [this] {
                m_nAcceptPause = 0;
                UpdateInterest();
            });
            UpdateInterest();
        }
        return Fail(nError);
    }
    rConnectedSocket.m_hSocket = fd;
    rConnectedSocket.m_nFamily = m_nFamily;
    rConnectedSocket.m_state = State::Connected;
    rConnectedSocket.m_lEvent = m_lEvent;
    rConnectedSocket.m_pStream.reset();
    rConnectedSocket.UpdateInterest();
    return true;
}

bool CAsyncSocket::Connect(const std::string& strHostAddress, int nHostPort) {
    if (m_state == State::Looking || m_state == State::Connecting || m_state == State::Connected) {
        return Fail(sys::kErrIsConnected);
    }
    if (nHostPort < 1 || nHostPort > 65535) {
        return Fail(sys::kErrInvalid);
    }
    return SocketConnector::Start(*this, strHostAddress, nHostPort);
}

void CAsyncSocket::BecomeConnected() {
    m_state = State::Connected;
    m_pConnect.reset();  // an idle connection keeps nothing of how it was made
    UpdateInterest();
}

void CAsyncSocket::SetStream(std::unique_ptr<IByteStream> pStream) {
    m_pStream = std::move(pStream);
    if (m_state == State::Connected) {
        UpdateInterest();
        RedispatchIfHeld();
    }
}

const char* CAsyncSocket::GetStreamFailure() const {
    return m_pStream ? m_pStream->FailureText() : nullptr;
}

int CAsyncSocket::Receive(void* lpBuf, int nBufLen, int) {
    if (m_hSocket == INVALID_SOCKET || m_state != State::Connected) {
        Fail(sys::kErrNotConnected);
        return SOCKET_ERROR;
    }
    if (nBufLen <= 0) {
        return 0;
    }
    int nError = 0;
    std::ptrdiff_t n = Stream().Read(m_hSocket, lpBuf, std::size_t(nBufLen), nError);
    if (n > 0)
        return int(n);
    if (n == 0) {
        m_bEof = true;
        return 0;
    }
    if (nError != WSAEWOULDBLOCK) {
        m_bBroken = true;
        m_nCloseError = nError;
    } else if (m_pStream) {
        UpdateInterest();  // a layered stream may wait for writability to read on
    }
    Fail(nError);
    return SOCKET_ERROR;
}

int CAsyncSocket::Send(const void* lpBuf, int nBufLen, int) {
    if (m_hSocket == INVALID_SOCKET || m_bBroken || m_bHangup ||
        (m_state != State::Connected && m_state != State::Connecting)) {
        Fail(sys::kErrNotConnected);
        return SOCKET_ERROR;
    }
    if (nBufLen <= 0) {
        return 0;
    }
    return SendPath::Send(*this, static_cast<const char*>(lpBuf), nBufLen);
}

std::size_t CAsyncSocket::GetSendQueued() const {
    return m_pSendQueue ? m_pSendQueue->Size() : 0;
}

std::size_t CAsyncSocket::GetSendRoom() const {
    std::size_t nQueued = GetSendQueued();
    return nQueued < kSendHighWater ? kSendHighWater - nQueued : 0;
}

void CAsyncSocket::Pair(CAsyncSocket& a, CAsyncSocket& b) {
    a.m_pPartner = &b;
    b.m_pPartner = &a;
}

void CAsyncSocket::CloseDescriptor() {
    if (m_hSocket == INVALID_SOCKET)
        return;
    if (m_bRegistered) {
        Loop().ForgetClosing(m_hSocket, this);
        m_bRegistered = false;
        m_nInterest = m_nWatched = 0;
    }
    sys::CloseSocket(m_hSocket);
    m_hSocket = INVALID_SOCKET;
}

bool CAsyncSocket::ShouldLinger() {
    if (m_state != State::Connected || m_bBroken || m_bHangup)
        return false;
    // Closing a socket with unread input, or with output the peer has not yet
    // acknowledged, may reset the connection and cut off what we sent.
    return GetSendQueued() > 0 ||
           (!m_bEof && (Stream().HasUnread(m_hSocket) || Stream().HasUnacked(m_hSocket)));
}

void CAsyncSocket::Close() {
    if (m_pConnect) {
        m_pConnect->Cancel(Loop());
        m_pConnect.reset();
    }
    if (m_nAcceptPause != 0) {
        Loop().KillTimer(m_nAcceptPause);
        m_nAcceptPause = 0;
    }
    bool bHadQueue = GetSendQueued() > 0;
    if (m_hSocket != INVALID_SOCKET) {
        if (ShouldLinger()) {
            // The loop takes over descriptor, stream and queue; it closes at
            // once when it cannot (out of memory).
            Unwatch();
            Loop().LingerClose(m_hSocket, std::move(m_pStream), std::move(m_pSendQueue));
            m_hSocket = INVALID_SOCKET;
        } else {
            CloseDescriptor();  // the stream stays, for its failure text
        }
    }
    m_pSendQueue.reset();
    m_state = State::Failed;
    // Whatever waited for this socket's queue to drain may read again; what it
    // sends here now fails. Short of memory even for that, it ends instead of
    // waiting for ever.
    if (bHadQueue && m_pPartner != nullptr) {
        try {
            m_pPartner->UpdateInterest();
        } catch (...) {
            try {
                m_pPartner->HandleFailure();
            } catch (...) {
            }
        }
    }
}

void CAsyncSocket::CloseNow() {
    m_bBroken = true;  // nothing is left to linger for
    Close();
}

void CAsyncSocket::ShutdownSending() {
    if (m_state != State::Connected || m_bBroken || m_bHangup)
        return;
    m_bShutdownDue = GetSendQueued() > 0 || !Stream().ShutdownSending(m_hSocket);
    UpdateInterest();
}

int CAsyncSocket::GetLocalPort() const {
    return address::LocalPort(m_hSocket);
}

void CAsyncSocket::HandleEvents(std::uint32_t nEvents) {
    switch (m_state) {
        case State::Idle:
            if ((nEvents & sys::kIn) && (m_lEvent & FD_ACCEPT)) {
                OnAccept(0);
            } else if (nEvents & (sys::kHup | sys::kErr)) {
                // Asked for connections but never put into the listening state.
                m_state = State::Failed;
                UpdateInterest();
            }
            break;
        case State::Connecting:
            SocketConnector::HandleEvents(*this, nEvents);
            break;
        case State::Connected:
            HandleConnected(Stream().Readiness(nEvents));
            break;
        case State::Looking:
        case State::Failed:
            break;
    }
}

void CAsyncSocket::HandleConnected(std::uint32_t nEvents) {
    // A callback that closes or deletes this socket unregisters it first.
    if ((nEvents & sys::kOut) && GetSendQueued() > 0) {
        SendPath::Flush(*this);
        if (GetSendQueued() == 0 && (m_lEvent & FD_WRITE)) {
            OnSend(0);
            if (Loop().WasUnregistered(this))
                return;
        }
    }
    if ((nEvents & sys::kOut) && m_bShutdownDue && GetSendQueued() == 0) {
        m_bShutdownDue = !Stream().ShutdownSending(m_hSocket);
        UpdateInterest();
    }
    bool bReading = (m_nInterest & sys::kIn) != 0;
    if (bReading && (nEvents & (sys::kIn | sys::kHup | sys::kErr))) {
        OnReceive(0);
        if (Loop().WasUnregistered(this))
            return;
        if (m_bEof || m_bBroken) {
            DeliverClose(m_nCloseError);
        } else {
            RedispatchIfHeld();  // the kernel will not signal what the stream holds
        }
    } else if ((nEvents & (sys::kHup | sys::kErr)) && (m_lEvent & FD_READ) && m_bReadBlocked &&
               !m_bEof && !m_bBroken) {
        // Reset while paused for the partner: what arrived before the reset
        // stays readable and is read once the partner has room; nothing more
        // can be sent, and the hang-up is not watched meanwhile.
        m_bHangup = true;
        SendPath::Drop(*this);
        UpdateInterest();
    } else if (nEvents & sys::kRdHup) {
        m_bEof = true;  // closed while this side chose not to read
        DeliverClose(0);
    } else if (nEvents & (sys::kHup | sys::kErr)) {
        // Reset while not reading: nothing more can be read, so close now
        // rather than be woken for it again and again.
        if (m_nCloseError == 0) {
            m_nCloseError = sys::PendingError(m_hSocket);
        }
        m_bBroken = true;
        DeliverClose(m_nCloseError);
    }
}

void CAsyncSocket::DeliverClose(int nErrorCode) {
    // A connection that breaks after the peer's orderly end is told of once
    // more: its owner may have gone on sending.
    if (m_bBroken ? m_bBreakDelivered : m_bCloseDelivered)
        return;
    m_bCloseDelivered = true;
    m_bBreakDelivered = m_bBroken;
    if (m_lEvent & FD_CLOSE) {
        OnClose(nErrorCode);
        if (Loop().WasUnregistered(this))
            return;  // closed, as it mostly is
    }
    if (m_bBroken) {
        Unwatch();  // a broken connection reports hang-ups for as long as it is watched
    } else {
        UpdateInterest();  // nothing more to read
    }
}

void CAsyncSocket::HandleFailure() {
    OnFailure();
}

void CAsyncSocket::OnFailure() {
    if (m_state != State::Idle)
        Close();  // a listener keeps listening
}

void CAsyncSocket::OnReceive(int) {}
void CAsyncSocket::OnSend(int) {}
void CAsyncSocket::OnOutOfBandData(int) {}
void CAsyncSocket::OnAccept(int) {}
void CAsyncSocket::OnConnect(int) {}
void CAsyncSocket::OnClose(int) {}
