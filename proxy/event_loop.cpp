#include "event_loop.h"

#include <fcntl.h>
#include <netdb.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

#include "async_socket.h"

namespace {

thread_local EventLoop* t_pCurrentLoop = nullptr;

constexpr int kMaxEventsPerWait = 256;
constexpr int kMaxLookupThreads = 4;
// Different names waiting for a lookup thread; one more fails at once.
constexpr std::size_t kMaxQueuedLookups = 64;
constexpr auto kLookupThreadIdle = std::chrono::seconds(30);
// How long a closed connection may take to drain before it is cut.
constexpr auto kLingerLimit = std::chrono::seconds(30);
// How much a closed connection's peer may still send, once everything has
// been written to it, before it is cut.
constexpr std::size_t kLingerDiscardLimit = 1024 * 1024;

int DefaultLookup(const std::string& strHost, EventLoop::Addresses& addresses) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_ADDRCONFIG;
    addrinfo* pList = nullptr;
    int nResult = getaddrinfo(strHost.c_str(), nullptr, &hints, &pList);
    if (nResult != 0) {
        switch (nResult) {
            case EAI_AGAIN:
                return WSATRY_AGAIN;
            case EAI_NONAME:
#ifdef EAI_NODATA
            case EAI_NODATA:
#endif
            case EAI_FAIL:
            case EAI_FAMILY:
                return WSAHOST_NOT_FOUND;
            default:
                return WSANO_RECOVERY;
        }
    }
    for (addrinfo* p = pList; p != nullptr; p = p->ai_next) {
        if (p->ai_addrlen <= sizeof(sockaddr_storage)) {
            sockaddr_storage address{};
            std::memcpy(&address, p->ai_addr, p->ai_addrlen);
            addresses.push_back(address);
        }
    }
    freeaddrinfo(pList);
    return addresses.empty() ? WSAHOST_NOT_FOUND : 0;
}

void Signal(int fd) {
    std::uint64_t nOne = 1;
    [[maybe_unused]] ssize_t n = write(fd, &nOne, sizeof nOne);
}

}  // namespace

// What the loop shares with its lookup threads; outlives the loop while a
// lookup is still running.
struct EventLoop::Shared {
    struct Result {
        std::string strHost;
        int nError;
        Addresses addresses;
    };

    std::mutex mutex;
    std::condition_variable wakeWorkers;
    int hWake = -1;  // -1 once the loop is gone
    LookupFunction fnLookup = DefaultLookup;
    std::deque<std::string> jobs;  // names, each once
    std::vector<Result> results;
    int nThreads = 0;
    int nIdleThreads = 0;

    static void Work(std::shared_ptr<Shared> pShared) {
        Shared& s = *pShared;
        std::unique_lock lock(s.mutex);
        for (;;) {
            if (s.jobs.empty()) {
                ++s.nIdleThreads;
                bool bGotWork = s.wakeWorkers.wait_for(
                    lock, kLookupThreadIdle, [&] { return !s.jobs.empty() || s.hWake < 0; });
                --s.nIdleThreads;
                if (!bGotWork || s.hWake < 0) {
                    --s.nThreads;
                    return;
                }
            }
            std::string strHost = std::move(s.jobs.front());
            s.jobs.pop_front();
            LookupFunction fnLookup = s.fnLookup;
            lock.unlock();
            Addresses addresses;
            int nError;
            try {
                nError = fnLookup(strHost, addresses);
            } catch (...) {
                addresses.clear();
                nError = WSANO_RECOVERY;
            }
            lock.lock();
            if (s.hWake >= 0) {
                try {
                    s.results.push_back({std::move(strHost), nError, std::move(addresses)});
                } catch (...) {
                    // Out of memory: the sessions waiting end by their login timeout.
                }
                Signal(s.hWake);
            }
        }
    }
};

class EventLoop::WakeHandler : public IEventHandler {
public:
    explicit WakeHandler(EventLoop& loop) : m_loop(loop) {}
    void HandleEvents(std::uint32_t) override {
        std::uint64_t nCount;
        [[maybe_unused]] ssize_t n = read(m_loop.m_pShared->hWake, &nCount, sizeof nCount);
        m_loop.DeliverLookups();
    }

private:
    EventLoop& m_loop;
};

class EventLoop::TimerHandler : public IEventHandler {
public:
    explicit TimerHandler(EventLoop& loop) : m_loop(loop) {}
    void HandleEvents(std::uint32_t) override {
        std::uint64_t nExpirations;
        [[maybe_unused]] ssize_t n = read(m_loop.m_hTimer, &nExpirations, sizeof nExpirations);
        m_loop.RunDueTimers();
    }

private:
    EventLoop& m_loop;
};

class EventLoop::Lingerer : public IEventHandler {
public:
    Lingerer(EventLoop& loop, int fd, std::string strPending, std::size_t nOffset)
        : m_loop(loop), m_fd(fd), m_strPending(std::move(strPending)), m_nOffset(nOffset) {}

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
            ssize_t n = recv(m_fd, pScratch, kScratchSize, MSG_DONTWAIT);
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
        m_loop.m_finishedLingerers.push_back(this);
    }

    EventLoop& m_loop;
    int m_fd;
    std::string m_strPending;
    std::size_t m_nOffset;
    TimerId m_nTimer = 0;
    bool m_bShutdown = false;
    bool m_bPeerDone = false;  // the peer has closed its sending side
    std::size_t m_nDiscarded = 0;
};

EventLoop::EventLoop() {
    m_hEpoll = epoll_create1(EPOLL_CLOEXEC);
    m_hTimer = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    m_hSpare = open("/dev/null", O_RDONLY | O_CLOEXEC);
    m_pShared = std::make_shared<Shared>();
    m_pShared->hWake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    m_pWake = std::make_unique<WakeHandler>(*this);
    m_pTimerHandler = std::make_unique<TimerHandler>(*this);
    Register(m_pShared->hWake, m_pWake.get(), EPOLLIN);
    Register(m_hTimer, m_pTimerHandler.get(), EPOLLIN);
    if (t_pCurrentLoop == nullptr) {
        t_pCurrentLoop = this;
    }
}

EventLoop::~EventLoop() {
    m_lingering.clear();
    {
        std::lock_guard lock(m_pShared->mutex);
        close(m_pShared->hWake);
        m_pShared->hWake = -1;
        m_pShared->jobs.clear();
    }
    m_pShared->wakeWorkers.notify_all();
    close(m_hTimer);
    close(m_hEpoll);
    if (m_hSpare >= 0)
        close(m_hSpare);
    if (t_pCurrentLoop == this) {
        t_pCurrentLoop = nullptr;
    }
}

EventLoop* EventLoop::Current() {
    return t_pCurrentLoop;
}

bool EventLoop::RunOnce(int nTimeoutMs) {
    if (m_bRunning) {
        return false;
    }
    m_bRunning = true;
    epoll_event events[kMaxEventsPerWait];
    int nReady = epoll_wait(m_hEpoll, events, kMaxEventsPerWait, m_posted.empty() ? nTimeoutMs : 0);
    m_bDispatching = true;
    for (int i = 0; i < nReady; ++i) {
        auto* pHandler = static_cast<IEventHandler*>(events[i].data.ptr);
        // A handler earlier in this batch may have closed or deleted this one.
        if (!WasUnregistered(pHandler)) {
            Dispatch(pHandler, events[i].events);
        }
    }
    m_bDispatching = false;
    m_unregistered.clear();
    RunPosted();
    ReapLingerers();
    m_bRunning = false;
    return true;
}

void EventLoop::Dispatch(IEventHandler* pHandler, std::uint32_t nEvents) {
    // Whatever a handler throws (out of memory, no thread) ends at most what
    // that handler serves, never the loop.
    try {
        pHandler->HandleEvents(nEvents);
    } catch (...) {
        if (WasUnregistered(pHandler))
            return;
        try {
            pHandler->HandleFailure();
        } catch (...) {
        }
    }
}

bool EventLoop::WasUnregistered(const IEventHandler* pHandler) const {
    for (const IEventHandler* p : m_unregistered) {
        if (p == pHandler)
            return true;
    }
    return false;
}

void EventLoop::Register(int fd, IEventHandler* pHandler, std::uint32_t nEvents) {
    epoll_event event{};
    event.events = nEvents;
    event.data.ptr = pHandler;
    epoll_ctl(m_hEpoll, EPOLL_CTL_ADD, fd, &event);
}

void EventLoop::Modify(int fd, IEventHandler* pHandler, std::uint32_t nEvents) {
    epoll_event event{};
    event.events = nEvents;
    event.data.ptr = pHandler;
    epoll_ctl(m_hEpoll, EPOLL_CTL_MOD, fd, &event);
}

void EventLoop::Unregister(int fd, IEventHandler* pHandler) {
    epoll_ctl(m_hEpoll, EPOLL_CTL_DEL, fd, nullptr);
    ForgetClosing(pHandler);
}

void EventLoop::ForgetClosing(IEventHandler* pHandler) {
    if (m_bDispatching) {
        m_unregistered.push_back(pHandler);
    }
}

void EventLoop::Post(std::function<void()> fn) {
    bool bWasEmpty = m_posted.empty();
    m_posted.push_back(std::move(fn));
    // Inside RunOnce the queue is drained anyway; outside it, make the
    // descriptor readable so that whoever watches it calls RunOnce.
    if (bWasEmpty && !m_bRunning) {
        Wake();
    }
}

void EventLoop::Wake() {
    Signal(m_pShared->hWake);
}

void EventLoop::RunPosted() {
    while (!m_posted.empty()) {
        std::vector<std::function<void()>> batch;
        batch.swap(m_posted);
        for (auto& fn : batch) {
            try {
                fn();
            } catch (...) {
                // One notice or report lost; the loop goes on.
            }
        }
    }
}

EventLoop::TimerId EventLoop::SetTimer(Clock::duration delay, std::function<void()> fn) {
    TimerId nTimer = m_nNextTimer++;
    auto it = m_timerQueue.emplace(Clock::now() + delay, nTimer);
    m_timers.emplace(nTimer, std::make_pair(it, std::move(fn)));
    if (it == m_timerQueue.begin())
        ArmTimerFd();
    return nTimer;
}

void EventLoop::KillTimer(TimerId nTimer) {
    auto it = m_timers.find(nTimer);
    if (it == m_timers.end())
        return;
    m_timerQueue.erase(it->second.first);
    m_timers.erase(it);
}

void EventLoop::RunDueTimers() {
    auto now = Clock::now();
    while (!m_timerQueue.empty() && m_timerQueue.begin()->first <= now) {
        TimerId nTimer = m_timerQueue.begin()->second;
        m_timerQueue.erase(m_timerQueue.begin());
        auto it = m_timers.find(nTimer);
        std::function<void()> fn = std::move(it->second.second);
        m_timers.erase(it);
        try {
            fn();
        } catch (...) {
        }
    }
    ArmTimerFd();
}

void EventLoop::ArmTimerFd() {
    itimerspec timeout{};
    if (!m_timerQueue.empty()) {
        auto nNs = std::chrono::duration_cast<std::chrono::nanoseconds>(
                       m_timerQueue.begin()->first.time_since_epoch())
                       .count();
        // steady_clock is CLOCK_MONOTONIC here; never arm with zero, which disarms.
        if (nNs <= 0)
            nNs = 1;
        timeout.it_value.tv_sec = nNs / 1000000000;
        timeout.it_value.tv_nsec = nNs % 1000000000;
    }
    timerfd_settime(m_hTimer, TFD_TIMER_ABSTIME, &timeout, nullptr);
}

void EventLoop::LingerClose(int fd, std::string strPending, std::size_t nOffset) {
    auto pLingerer = std::make_unique<Lingerer>(*this, fd, std::move(strPending), nOffset);
    Lingerer* p = pLingerer.get();
    m_lingering.emplace(p, std::move(pLingerer));
    p->Start();
}

void EventLoop::ReapLingerers() {
    for (Lingerer* p : m_finishedLingerers) {
        m_lingering.erase(p);
    }
    m_finishedLingerers.clear();
}

std::uint64_t EventLoop::Lookup(const std::string& strHost, LookupDone done, int& nError) {
    auto itWaiting = m_waitingByHost.find(strHost);
    if (itWaiting == m_waitingByHost.end()) {
        std::lock_guard lock(m_pShared->mutex);
        Shared& s = *m_pShared;
        if (s.jobs.size() >= kMaxQueuedLookups) {
            nError = WSATRY_AGAIN;
            return 0;
        }
        s.jobs.push_back(strHost);
        if (s.nIdleThreads > 0) {
            s.wakeWorkers.notify_one();
        } else if (s.nThreads < kMaxLookupThreads) {
            ++s.nThreads;
            try {
                StartThread([pShared = m_pShared] { Shared::Work(pShared); });
            } catch (...) {
                // Out of threads or memory: a busy thread takes the name later;
                // with none at all, this lookup fails.
                if (--s.nThreads == 0) {
                    s.jobs.pop_back();
                    nError = WSANO_RECOVERY;
                    return 0;
                }
            }
        }
        itWaiting = m_waitingByHost.emplace(strHost, std::vector<std::uint64_t>()).first;
    }
    std::uint64_t nId = m_nNextLookup++;
    itWaiting->second.push_back(nId);
    m_lookups.emplace(nId, Waiter{strHost, std::move(done)});
    return nId;
}

void EventLoop::StartThread(std::function<void()> fn) {
    if (m_fnStartThread) {
        m_fnStartThread(std::move(fn));
    } else {
        std::thread(std::move(fn)).detach();
    }
}

void EventLoop::CancelLookup(std::uint64_t nLookup) {
    auto it = m_lookups.find(nLookup);
    if (it == m_lookups.end())
        return;
    std::string strHost = std::move(it->second.strHost);
    m_lookups.erase(it);
    auto itWaiting = m_waitingByHost.find(strHost);
    if (itWaiting == m_waitingByHost.end())
        return;
    std::vector<std::uint64_t>& ids = itWaiting->second;
    std::erase(ids, nLookup);
    if (!ids.empty())
        return;
    m_waitingByHost.erase(itWaiting);
    // No one waits for this name any more: drop it unless a thread has it already.
    std::lock_guard lock(m_pShared->mutex);
    std::erase(m_pShared->jobs, strHost);
}

void EventLoop::DeliverLookups() {
    std::vector<Shared::Result> results;
    {
        std::lock_guard lock(m_pShared->mutex);
        results.swap(m_pShared->results);
    }
    for (Shared::Result& result : results) {
        auto itWaiting = m_waitingByHost.find(result.strHost);
        if (itWaiting == m_waitingByHost.end())
            continue;  // every session waiting for it has gone
        std::vector<std::uint64_t> ids = std::move(itWaiting->second);
        m_waitingByHost.erase(itWaiting);
        for (std::uint64_t nId : ids) {
            // An earlier callback may have cancelled this one.
            auto it = m_lookups.find(nId);
            if (it == m_lookups.end())
                continue;
            LookupDone done = std::move(it->second.done);
            m_lookups.erase(it);
            try {
                done(result.nError, result.addresses);
            } catch (...) {
                // The socket behind it has ended its own session.
            }
        }
    }
}

void EventLoop::SetThreadStarter(ThreadStarter fn) {
    m_fnStartThread = std::move(fn);
}

void EventLoop::SetLookupFunction(LookupFunction fn) {
    std::lock_guard lock(m_pShared->mutex);
    m_pShared->fnLookup = fn ? std::move(fn) : DefaultLookup;
}

char* EventLoop::Scratch() {
    if (!m_pScratch)
        m_pScratch = std::make_unique<char[]>(kScratchSize);
    return m_pScratch.get();
}

void EventLoop::ReleaseSpareFd() {
    if (m_hSpare >= 0) {
        close(m_hSpare);
        m_hSpare = -1;
    }
}

void EventLoop::RestoreSpareFd() {
    if (m_hSpare < 0)
        m_hSpare = open("/dev/null", O_RDONLY | O_CLOEXEC);
}
