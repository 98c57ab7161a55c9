#include "lingering_close.h"

#include <new>

#include "event_loop.h"
#include "memory_ops.h"
#include "tcp_stream.h"

namespace {

// How long a closed connection may take to drain before it is cut.
constexpr auto kLingerLimit = std::chrono::seconds(30);
// How much a closed connection's peer may still send before it is cut with a
// reset: while it has not taken everything written to it, far more than a
// mail client's commands in flight, and soon reached by a peer that floods
// instead of reading; once it has, room for a server to finish an answer
// before it reads the last commands.
constexpr std::size_t kLingerFloodLimit = 64 * 1024;
constexpr std::size_t kLingerDiscardLimit = 1024 * 1024;

}  // namespace

class LingeringClose::Lingerer final : public IEventHandler {
public:
    Lingerer(LingeringClose& owner, SOCKET fd, std::unique_ptr<IByteStream> pStream,
             std::unique_ptr<SendQueue> pPending)
        : m_owner(owner),
          m_loop(owner.m_loop),
          m_fd(fd),
          m_pStream(std::move(pStream)),
          m_pPending(std::move(pPending)) {}

    ~Lingerer() {
        if (m_nTimer != 0)
            m_loop.KillTimer(m_nTimer);
        if (m_bRegistered)
            m_loop.Unregister(m_fd, this);
        if (m_fd != INVALID_SOCKET)
            sys::CloseSocket(m_fd);
    }

    // May throw (out of memory); the destructor then undoes what was done.
    void Start() {
        m_nTimer = m_loop.SetTimer(kLingerLimit, [this] {
            m_nTimer = 0;
            Finish();
        });
        if (!m_pPending || m_pPending->Size() == 0) {
            ShutdownSending();
        }
        m_loop.Register(m_fd, this, WantedEvents());
        m_bRegistered = true;
    }

    void HandleEvents(std::uint32_t nEvents) override {
        nEvents = Stream().Readiness(nEvents);
        if ((nEvents & sys::kOut) && !m_bShutdown) {
            if (m_pPending && m_pPending->Size() > 0 && !FlushPending()) {
                Finish();
                return;
            }
            if (!m_pPending || m_pPending->Size() == 0)
                ShutdownSending();
        }
        if (!m_bPeerDone && (nEvents & (sys::kIn | sys::kHup | sys::kErr)) && !Drain())
            return;
        if ((m_bPeerDone && m_bShutdown) || (nEvents & (sys::kHup | sys::kErr))) {
            // Everything is written and the peer sends no more, or the
            // connection is gone.
            Finish();
            return;
        }
        m_loop.Modify(m_fd, this, WantedEvents());
    }

    Lingerer* m_pNext = nullptr;
    Lingerer* m_pPrevious = nullptr;

private:
    IByteStream& Stream() const { return m_pStream ? *m_pStream : CTcpStream::Plain(); }

    std::uint32_t WantedEvents() const {
        // A peer that has half-closed may still read: keep writing to it.
        return Stream().Interest((m_bPeerDone ? 0u : std::uint32_t(sys::kIn)) |
                                 (m_bShutdown ? 0u : std::uint32_t(sys::kOut)));
    }

    // Writes until everything is written or the system takes nothing more:
    // Windows signals writability again only after a write it refused, not
    // after one it took in part. False when the connection is broken.
    bool FlushPending() {
        int nError = 0;
        std::size_t nBefore = 0;
        while (m_pPending->Size() > 0 && m_pPending->Size() != nBefore) {
            nBefore = m_pPending->Size();
            if (!m_pPending->Flush(Stream(), m_fd, nError))
                return false;
        }
        return true;
    }

    // Reads and discards what the peer still sends; false when finished.
    bool Drain() {
        char* pScratch = m_loop.Scratch();
        for (;;) {
            int nError = 0;
            std::ptrdiff_t n = Stream().Read(m_fd, pScratch, EventLoop::kScratchSize, nError);
            if (n > 0) {
                // It may be a mail client's next PASS line.
                explicit_bzero(pScratch, std::size_t(n));
                m_nDiscarded += std::size_t(n);
                if (m_nDiscarded > kLingerFloodLimit &&
                    (m_nDiscarded > kLingerDiscardLimit || !m_bShutdown ||
                     Stream().HasUnacked(m_fd))) {
                    Finish();
                    return false;
                }
                continue;
            }
            if (n < 0 && nError == WSAEWOULDBLOCK)
                return true;
            if (n == 0) {
                m_bPeerDone = true;
                return true;
            }
            Finish();  // reset: nothing more can reach the peer
            return false;
        }
    }

    void ShutdownSending() {
        m_pPending.reset();
        m_bShutdown = Stream().ShutdownSending(m_fd);
    }

    void Finish() {
        if (m_fd == INVALID_SOCKET)
            return;
        m_loop.Unregister(m_fd, this);
        m_bRegistered = false;
        sys::CloseSocket(m_fd);
        m_fd = INVALID_SOCKET;
        if (m_nTimer != 0)
            m_loop.KillTimer(m_nTimer);
        m_nTimer = 0;
        m_owner.Unlink(this);
        m_pNext = m_owner.m_pFinished;
        m_owner.m_pFinished = this;
    }

    LingeringClose& m_owner;
    EventLoop& m_loop;
    SOCKET m_fd;
    std::unique_ptr<IByteStream> m_pStream;  // null: plain TCP
    std::unique_ptr<SendQueue> m_pPending;
    EventLoop::TimerId m_nTimer = 0;
    bool m_bRegistered = false;
    bool m_bShutdown = false;
    bool m_bPeerDone = false;  // the peer has closed its sending side
    std::size_t m_nDiscarded = 0;
};

LingeringClose::LingeringClose(EventLoop& loop) : m_loop(loop) {}

LingeringClose::~LingeringClose() {
    Reap();
    while (m_pFirst != nullptr) {
        Lingerer* p = m_pFirst;
        Unlink(p);
        delete p;
    }
}

void LingeringClose::Link(Lingerer* p) {
    p->m_pNext = m_pFirst;
    if (m_pFirst != nullptr)
        m_pFirst->m_pPrevious = p;
    m_pFirst = p;
    ++m_nCount;
}

void LingeringClose::Unlink(Lingerer* p) {
    (p->m_pPrevious != nullptr ? p->m_pPrevious->m_pNext : m_pFirst) = p->m_pNext;
    if (p->m_pNext != nullptr)
        p->m_pNext->m_pPrevious = p->m_pPrevious;
    p->m_pNext = p->m_pPrevious = nullptr;
    --m_nCount;
}

void LingeringClose::Start(SOCKET fd, std::unique_ptr<IByteStream> pStream,
                           std::unique_ptr<SendQueue> pPending) noexcept {
    auto* p = new (std::nothrow) Lingerer(*this, fd, std::move(pStream), std::move(pPending));
    if (p == nullptr) {
        sys::CloseSocket(fd);  // a plain close: what was unsent is lost
        return;
    }
    Link(p);
    try {
        p->Start();
    } catch (...) {
        Unlink(p);
        delete p;  // closes the descriptor
    }
}

void LingeringClose::Reap() {
    while (m_pFinished != nullptr) {
        Lingerer* p = m_pFinished;
        m_pFinished = p->m_pNext;
        delete p;
    }
}
