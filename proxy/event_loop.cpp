#include "event_loop.h"

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cassert>

#include "lingering_close.h"

namespace {

thread_local EventLoop* t_pCurrentLoop = nullptr;

constexpr int kMaxEventsPerWait = 256;

void Signal(int fd) {
    std::uint64_t nOne = 1;
    [[maybe_unused]] ssize_t n = write(fd, &nOne, sizeof nOne);
}

}  // namespace

// Reads the count off an eventfd or a timerfd, then has the loop do its part.
class EventLoop::CounterHandler : public IEventHandler {
public:
    CounterHandler(EventLoop& loop, int fd, void (EventLoop::*pfnThen)())
        : m_loop(loop), m_fd(fd), m_pfnThen(pfnThen) {}
    void HandleEvents(std::uint32_t) override {
        std::uint64_t nCount;
        [[maybe_unused]] ssize_t n = read(m_fd, &nCount, sizeof nCount);
        (m_loop.*m_pfnThen)();
    }

private:
    EventLoop& m_loop;
    int m_fd;
    void (EventLoop::*m_pfnThen)();
};

EventLoop::EventLoop() : m_owner(std::this_thread::get_id()) {
    m_hEpoll = epoll_create1(EPOLL_CLOEXEC);
    m_hTimer = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    m_hWake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    m_hSpare = open("/dev/null", O_RDONLY | O_CLOEXEC);
    m_pWake = std::make_unique<CounterHandler>(*this, m_hWake, &EventLoop::DeliverLookups);
    m_pTimerHandler = std::make_unique<CounterHandler>(*this, m_hTimer, &EventLoop::RunDueTimers);
    m_pLingering = std::make_unique<LingeringClose>(*this);
    m_pLookup = std::make_unique<NameLookup>([hWake = m_hWake] { Signal(hWake); });
    // One loop per thread: sockets find theirs through Current().
    assert(t_pCurrentLoop == nullptr);
    if (t_pCurrentLoop == nullptr) {
        t_pCurrentLoop = this;
    }
    if (m_hEpoll >= 0) {
        Register(m_hWake, m_pWake.get(), EPOLLIN);
        Register(m_hTimer, m_pTimerHandler.get(), EPOLLIN);
    }
}

EventLoop::~EventLoop() {
    AssertInLoopThread();
    m_pLingering.reset();
    // Stops the workers' wakes before the descriptor they write to goes.
    m_pLookup.reset();
    close(m_hWake);
    close(m_hTimer);
    close(m_hEpoll);
    if (m_hSpare >= 0)
        close(m_hSpare);
    if (t_pCurrentLoop == this) {
        t_pCurrentLoop = nullptr;
    }
}

void EventLoop::AssertInLoopThread() const {
    assert(std::this_thread::get_id() == m_owner && "called off the loop's thread");
}

EventLoop* EventLoop::Current() {
    return t_pCurrentLoop;
}

bool EventLoop::RunOnce(int nTimeoutMs) {
    AssertInLoopThread();
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
    m_pLingering->Reap();
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

void EventLoop::Control(int nOperation, int fd, IEventHandler* pHandler, std::uint32_t nEvents) {
    AssertInLoopThread();
    epoll_event event{};
    event.events = nEvents;
    event.data.ptr = pHandler;
    // Fails only for a descriptor that is closed, or (un)registered twice: a fault here.
    [[maybe_unused]] int nResult = epoll_ctl(m_hEpoll, nOperation, fd, &event);
    assert(nResult == 0 && "epoll_ctl failed");
}

void EventLoop::Register(int fd, IEventHandler* pHandler, std::uint32_t nEvents) {
    Control(EPOLL_CTL_ADD, fd, pHandler, nEvents);
}

void EventLoop::Modify(int fd, IEventHandler* pHandler, std::uint32_t nEvents) {
    Control(EPOLL_CTL_MOD, fd, pHandler, nEvents);
}

void EventLoop::Unregister(int fd, IEventHandler* pHandler) {
    Control(EPOLL_CTL_DEL, fd, pHandler, 0);
    ForgetClosing(pHandler);
}

void EventLoop::ForgetClosing(IEventHandler* pHandler) {
    if (m_bDispatching) {
        m_unregistered.push_back(pHandler);
    }
}

void EventLoop::Post(std::function<void()> fn) {
    AssertInLoopThread();
    bool bWasEmpty = m_posted.empty();
    m_posted.push_back(std::move(fn));
    // Inside RunOnce the queue is drained anyway; outside it, make the
    // descriptor readable so that whoever watches it calls RunOnce.
    if (bWasEmpty && !m_bRunning) {
        Wake();
    }
}

void EventLoop::Wake() {
    Signal(m_hWake);
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
    AssertInLoopThread();
    TimerId nTimer = m_nNextTimer++;
    auto it = m_timerQueue.emplace(Clock::now() + delay, nTimer);
    m_timers.emplace(nTimer, std::make_pair(it, std::move(fn)));
    if (it == m_timerQueue.begin())
        ArmTimerFd();
    return nTimer;
}

void EventLoop::KillTimer(TimerId nTimer) {
    AssertInLoopThread();
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
    AssertInLoopThread();
    m_pLingering->Start(fd, std::move(strPending), nOffset);
}

std::size_t EventLoop::LingeringCount() const {
    return m_pLingering->Count();
}

std::uint64_t EventLoop::Lookup(const std::string& strHost, LookupDone done, int& nError) {
    AssertInLoopThread();
    return m_pLookup->Start(strHost, std::move(done), nError);
}

void EventLoop::CancelLookup(std::uint64_t nLookup) {
    AssertInLoopThread();
    m_pLookup->Cancel(nLookup);
}

void EventLoop::DeliverLookups() {
    m_pLookup->Deliver();
}

void EventLoop::SetThreadStarter(ThreadStarter fn) {
    m_pLookup->SetThreadStarter(std::move(fn));
}

void EventLoop::SetLookupFunction(LookupFunction fn) {
    m_pLookup->SetLookupFunction(std::move(fn));
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
