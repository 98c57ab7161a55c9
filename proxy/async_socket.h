#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "byte_stream.h"
#include "event_loop.h"
#include "lookup_errors.h"
#include "socket_platform.h"

class SendQueue;
class SocketConnector;

// SOCKET, INVALID_SOCKET, SOCKET_ERROR, the FD_ events a socket can ask to be
// told of and WSAEWOULDBLOCK come from the system's socket_platform.h. Error
// numbers are the system's: errno values on Linux, Windows Sockets numbers on
// Windows.

// A non-blocking stream socket whose network events arrive as callbacks from
// the thread's EventLoop. Level-triggered: an OnReceive that leaves data unread
// is called again. Beyond the classic contract:
//  - Send never loses bytes: what the system does not take now is queued and
//    written when the socket becomes writable;
//  - two paired sockets throttle each other: one is read only while the
//    other's send queue is below kSendHighWater;
//  - data that arrived before the peer closed or reset the connection is
//    delivered before OnClose, also when reading was paused at the reset;
//  - a socket that selects FD_CLOSE without FD_READ still hears the peer's
//    close at once;
//  - Close hands unsent bytes to the loop, so the object may be deleted at once;
//  - its bytes go through a stream (plain TCP unless SetStream puts another,
//    such as TLS, over the connection); bytes the stream holds are delivered
//    as if the kernel still signalled them.
class CAsyncSocket : private IEventHandler {
public:
    static constexpr std::size_t kSendHighWater = 32 * 1024;
    static constexpr std::size_t kSendLowWater = kSendHighWater / 2;

    CAsyncSocket();
    virtual ~CAsyncSocket();
    CAsyncSocket(const CAsyncSocket&) = delete;
    CAsyncSocket& operator=(const CAsyncSocket&) = delete;

    // Creates the socket, bound to nSocketPort on every interface (IPv6 and
    // IPv4) unless the port is 0 and no address is given. Returns false on
    // failure, with the error in GetLastError().
    bool Create(unsigned nSocketPort = 0, int nSocketType = SOCK_STREAM,
                long lEvent = FD_READ | FD_WRITE | FD_OOB | FD_ACCEPT | FD_CONNECT | FD_CLOSE,
                const char* lpszSocketAddress = nullptr);
    bool AsyncSelect(long lEvent);
    // Puts a created socket into the listening state.
    bool Listen(int nConnectionBacklog = SOMAXCONN);
    virtual bool Accept(CAsyncSocket& rConnectedSocket);
    virtual void Close();
    // Closes without lingering: unsent bytes are dropped, the peer may see a reset.
    void CloseNow();
    // Starts a connection to a host name or numeric address. True when
    // connected at once; false with GetLastError() == WSAEWOULDBLOCK when under
    // way (names are looked up off the loop thread; OnConnect tells the end);
    // false with another error when it failed at once.
    bool Connect(const std::string& strHostAddress, int nHostPort);
    // The flags are not passed on: the bytes go through the socket's stream.
    virtual int Receive(void* lpBuf, int nBufLen, int nFlags = 0);
    virtual int Send(const void* lpBuf, int nBufLen, int nFlags = 0);

    // Ends this side's sending in order once what is queued has gone (over
    // TLS with a close_notify); the connection is still read.
    void ShutdownSending();
    // The send failed or the connection was reset: nothing more goes out.
    bool IsBroken() const { return m_bBroken || m_bHangup; }
    // The peer has ended its sending (or the connection is gone).
    bool HasPeerClosed() const { return m_bEof || m_bBroken; }

    // Puts a stream over the connected descriptor, from the next Receive or
    // Send on (STARTTLS: after the server's "+OK" to STLS, with nothing sent
    // or held meanwhile). Null: plain TCP again.
    void SetStream(std::unique_ptr<IByteStream> pStream);
    // Why the stream failed, or null; readable after OnConnect, OnClose and
    // Close, until the socket connects again.
    const char* GetStreamFailure() const;
    // The stream put over the connection, or null for plain TCP.
    const IByteStream* GetStream() const { return m_pStream.get(); }

    virtual void OnReceive(int nErrorCode);
    virtual void OnSend(int nErrorCode);
    virtual void OnOutOfBandData(int nErrorCode);
    virtual void OnAccept(int nErrorCode);
    // Called once per Connect that did not complete at once: with 0 when the
    // connection is made, which is seen when the server's first bytes (or its
    // close) arrive, not when the socket turns writable (unless Send has
    // queued bytes meanwhile), so OnReceive with those bytes follows at once;
    // or with the error of the last address tried.
    virtual void OnConnect(int nErrorCode);
    // Called once; once more, with the error, when the connection breaks
    // after the peer's orderly end.
    virtual void OnClose(int nErrorCode);
    // A callback of this socket threw (out of memory, say); by default the
    // socket is closed unless it is listening.
    virtual void OnFailure();

    // The error of the last failed call on this thread.
    static int GetLastError();

    // The local port, or 0 when the socket has none.
    int GetLocalPort() const;

    // Makes a and b throttle each other: each is read only while the other's
    // send queue is below kSendHighWater, so a relay holds a bounded amount.
    static void Pair(CAsyncSocket& a, CAsyncSocket& b);
    std::size_t GetSendQueued() const;
    // How many more bytes may be queued before the high-water mark.
    std::size_t GetSendRoom() const;

    SOCKET m_hSocket = INVALID_SOCKET;

protected:
    static EventLoop& Loop() { return *EventLoop::Current(); }

private:
    friend class SendPath;
    friend class SocketConnector;
    enum class State : std::uint8_t { Idle, Looking, Connecting, Connected, Failed };

    static bool Fail(int nError);
    IByteStream& Stream() const;

    void HandleEvents(std::uint32_t nEvents) override;
    void HandleFailure() override;
    void LookupDone(int nError, EventLoop::Addresses addresses);
    void HandleConnected(std::uint32_t nEvents);
    void UpdateInterest();
    void BecomeConnected();
    bool OpenSocket(int nFamily);
    void Unwatch();
    void CloseDescriptor();
    bool ShouldLinger();
    // The stream holds bytes the kernel no longer signals: be dispatched again.
    void RedispatchIfHeld();
    void DeliverClose(int nErrorCode);

    // Kept small and packed: a relayed session holds two of these.
    std::uint16_t m_nInterest = 0;  // what the socket waits for: sys::kIn, kOut, kRdHup
    std::uint16_t m_nWatched = 0;   // the kernel readiness watched for it, through the stream
    std::int32_t m_lEvent = 0;      // the FD_ events selected
    int m_nCloseError = 0;
    State m_state = State::Idle;
    std::uint8_t m_nFamily = 0;  // of the descriptor made by Create
    bool m_bRegistered = false;
    bool m_bEof = false;     // the peer has closed its sending side
    bool m_bBroken = false;  // the connection failed or was reset
    bool m_bHangup = false;  // reset seen while paused; what came before it is still to read
    bool m_bCloseDelivered = false;
    bool m_bBreakDelivered = false;
    bool m_bReadBlocked = false;            // waiting for the partner's queue to drain
    bool m_bShutdownDue = false;            // ShutdownSending waits for the queue or the stream
    EventLoop::TimerId m_nAcceptPause = 0;  // accepting rests after a hard failure
    CAsyncSocket* m_pPartner = nullptr;
    std::unique_ptr<SendQueue> m_pSendQueue;
    std::unique_ptr<SocketConnector> m_pConnect;  // only while a connection is being made
    std::unique_ptr<IByteStream> m_pStream;       // null: plain TCP, the shared CTcpStream
};

static_assert(sys::kIn <= 0xffff && sys::kOut <= 0xffff && sys::kRdHup <= 0xffff,
              "a socket keeps the readiness it waits for in 16 bits");
