#include "lingering_close.h"

#include <cstring>

#include "event_loop.h"
#include "memory_ops.h"
#include "socket_platform.h"

namespace {

// How long a closed connection may take to drain before it is cut.
constexpr auto kLingerLimit = std::chrono::seconds(30);
// How much a closed connection's peer may still send, once everything has
// been written to it, before it is cut.
constexpr std::size_t kLingerDiscardLimit = 1024 * 1024;

}  // namespace

class LingeringClose::Lingerer : public IEventHandler {
public:
    Lingerer(LingeringClose& owner, SOCKET fd, std::string strPending, std::size_t nOffset)
        : m_owner(owner),
          m_loop(owner.m_loop),
          m_fd(fd),
          m_strPending(std::move(strPending)),
          m_nOffset(nOffset) {}

    ~Lingerer() {
        if (m_fd != INVALID_SOCKET)
            sys::CloseSocket(m_fd);
    }

    void Start() {
        m_nTimer = m_loop.SetTimer(kLingerLimit, [this] {
            m_nTimer = 0;
            Finish();
        });
        if (m_nOffset >= m_strPending.size()) {
            ShutdownSending();
        }
        m_loop.Register(m_fd, this, WantedEvents());
    }

    void HandleEvents(std::uint32_t nEvents) override {
        if ((nEvents & sys::kOut) && !m_bShutdown) {
            while (m_nOffset < m_strPending.size()) {
                ssize_t n = sys::SendSome(m_fd, m_strPending.data() + m_nOffset,
                                          m_strPending.size() - m_nOffset);
                if (n < 0) {
                    int nError = sys::LastError();
                    if (sys::IsWouldBlock(nError))
                        break;
                    if (nError == sys::kErrInterrupted)
                        continue;
                    Finish();
                    return;
                }
                m_nOffset += std::size_t(n);
            }
            if (m_nOffset >= m_strPending.size())
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

private:
    std::uint32_t WantedEvents() const {
        // A peer that has half-closed may still read: keep writing to it.
        return (m_bPeerDone ? 0u : std::uint32_t(sys::kIn)) |
               (m_bShutdown ? 0u : std::uint32_t(sys::kOut));
    }

    // Reads and discards what the peer still sends; false when finished.
    bool Drain() {
        char* pScratch = m_loop.Scratch();
        for (;;) {
            ssize_t n = sys::ReceiveSome(m_fd, pScratch, EventLoop::kScratchSize);
            if (n > 0) {
                // It may be a mail client's next PASS line.
                explicit_bzero(pScratch, std::size_t(n));
                m_nDiscarded += std::size_t(n);
                if (m_bShutdown && m_nDiscarded > kLingerDiscardLimit && NothingUnacked()) {
                    Finish();
                    return false;
                }
                continue;
            }
            int nError = n < 0 ? sys::LastError() : 0;
            if (n < 0 && sys::IsWouldBlock(nError))
                return true;
            if (n < 0 && nError == sys::kErrInterrupted)
                continue;
            if (n == 0) {
                m_bPeerDone = true;
                return true;
            }
            Finish();  // reset: nothing more can reach the peer
            return false;
        }
    }

    bool NothingUnacked() const {
        int nUnsent = 0;
        return sys::UnackedBytes(m_fd, nUnsent) && nUnsent == 0;
    }

    void ShutdownSending() {
        m_bShutdown = true;
        std::string().swap(m_strPending);
        sys::ShutdownSending(m_fd);
    }

    void Finish() {
        if (m_fd == INVALID_SOCKET)
            return;
        m_loop.Unregister(m_fd, this);
        sys::CloseSocket(m_fd);
        m_fd = INVALID_SOCKET;
        if (m_nTimer != 0)
            m_loop.KillTimer(m_nTimer);
        m_owner.m_finished.push_back(this);
    }

    LingeringClose& m_owner;
    EventLoop& m_loop;
    SOCKET m_fd;
    std::string m_strPending;
    std::size_t m_nOffset;
    EventLoop::TimerId m_nTimer = 0;
    bool m_bShutdown = false;
    bool m_bPeerDone = false;  // the peer has closed its sending side
    std::size_t m_nDiscarded = 0;
};

LingeringClose::LingeringClose(EventLoop& loop) : m_loop(loop) {}

LingeringClose::~LingeringClose() = default;

void LingeringClose::Start(SOCKET fd, std::string strPending, std::size_t nOffset) {
    auto pLingerer = std::make_unique<Lingerer>(*this, fd, std::move(strPending), nOffset);
    Lingerer* p = pLingerer.get();
    m_lingering.emplace(p, std::move(pLingerer));
    p->Start();
}

void LingeringClose::Reap() {
    for (Lingerer* p : m_finished) {
        m_lingering.erase(p);
    }
    m_finished.clear();
}
