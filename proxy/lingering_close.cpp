#include "lingering_close.h"

#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "event_loop.h"

namespace {

// How long a closed connection may take to drain before it is cut.
constexpr auto kLingerLimit = std::chrono::seconds(30);
// How much a closed connection's peer may still send, once everything has
// been written to it, before it is cut.
constexpr std::size_t kLingerDiscardLimit = 1024 * 1024;

}  // namespace

class LingeringClose::Lingerer : public IEventHandler {
public:
    Lingerer(LingeringClose& owner, int fd, std::string strPending, std::size_t nOffset)
        : m_owner(owner),
          m_loop(owner.m_loop),
          m_fd(fd),
          m_strPending(std::move(strPending)),
          m_nOffset(nOffset) {}

    ~Lingerer() {
        if (m_fd >= 0)
            close(m_fd);
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
        if ((nEvents & EPOLLOUT) && !m_bShutdown) {
            while (m_nOffset < m_strPending.size()) {
                ssize_t n = send(m_fd, m_strPending.data() + m_nOffset,
                                 m_strPending.size() - m_nOffset, MSG_NOSIGNAL | MSG_DONTWAIT);
                if (n < 0) {
                    if (errno == EAGAIN || errno == EWOULDBLOCK)
                        break;
                    if (errno == EINTR)
                        continue;
                    Finish();
                    return;
                }
                m_nOffset += std::size_t(n);
            }
            if (m_nOffset >= m_strPending.size())
                ShutdownSending();
        }
        if (!m_bPeerDone && (nEvents & (EPOLLIN | EPOLLHUP | EPOLLERR)) && !Drain())
            return;
        if ((m_bPeerDone && m_bShutdown) || (nEvents & (EPOLLHUP | EPOLLERR))) {
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
        return (m_bPeerDone ? 0u : std::uint32_t(EPOLLIN)) |
               (m_bShutdown ? 0u : std::uint32_t(EPOLLOUT));
    }

    // Reads and discards what the peer still sends; false when finished.
    bool Drain() {
        char* pScratch = m_loop.Scratch();
        for (;;) {
            ssize_t n = recv(m_fd, pScratch, EventLoop::kScratchSize, MSG_DONTWAIT);
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
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                return true;
            if (n < 0 && errno == EINTR)
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
        return ioctl(m_fd, TIOCOUTQ, &nUnsent) == 0 && nUnsent == 0;
    }

    void ShutdownSending() {
        m_bShutdown = true;
        std::string().swap(m_strPending);
        shutdown(m_fd, SHUT_WR);
    }

    void Finish() {
        if (m_fd < 0)
            return;
        m_loop.Unregister(m_fd, this);
        close(m_fd);
        m_fd = -1;
        if (m_nTimer != 0)
            m_loop.KillTimer(m_nTimer);
        m_owner.m_finished.push_back(this);
    }

    LingeringClose& m_owner;
    EventLoop& m_loop;
    int m_fd;
    std::string m_strPending;
    std::size_t m_nOffset;
    EventLoop::TimerId m_nTimer = 0;
    bool m_bShutdown = false;
    bool m_bPeerDone = false;  // the peer has closed its sending side
    std::size_t m_nDiscarded = 0;
};

LingeringClose::LingeringClose(EventLoop& loop) : m_loop(loop) {}

LingeringClose::~LingeringClose() = default;

void LingeringClose::Start(int fd, std::string strPending, std::size_t nOffset) {
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
