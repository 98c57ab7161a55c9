// The event loop on Linux: epoll, an eventfd for wakes, a timerfd for the timers.

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cassert>

#include "event_loop.h"

namespace {

constexpr int kMaxEventsPerWait = 256;

void Signal(int fd) {
    std::uint64_t nOne = 1;
    [[maybe_unused]] ssize_t n = write(fd, &nOne, sizeof nOne);
}

}  // namespace

class EventLoopSystem {
public:
    static void Control(EventLoop& loop, int nOperation, int fd, IEventHandler* pHandler,
                        std::uint32_t nEvents) {
        loop.AssertInLoopThread();
        epoll_event event{};
        event.events = nEvents;
        event.data.ptr = pHandler;
        // Fails only for a descriptor that is closed, or (un)registered twice: a fault here.
        [[maybe_unused]] int nResult = epoll_ctl(loop.m_hEpoll, nOperation, fd, &event);
        assert(nResult == 0 && "epoll_ctl failed");
    }
    static void DeliverLookups(EventLoop& loop) { loop.DeliverLookups(); }
    static void RunDueTimers(EventLoop& loop) { loop.RunDueTimers(); }
};

// Reads the count off an eventfd or a timerfd, then has the loop do its part.
class EpollCounter : public IEventHandler {
public:
    EpollCounter(EventLoop& loop, int fd, void (*pfnThen)(EventLoop&))
        : m_loop(loop), m_fd(fd), m_pfnThen(pfnThen) {}
    void HandleEvents(std::uint32_t) override {
        std::uint64_t nCount;
        [[maybe_unused]] ssize_t n = read(m_fd, &nCount, sizeof nCount);
        m_pfnThen(m_loop);
    }

private:
    EventLoop& m_loop;
    int m_fd;
    void (*m_pfnThen)(EventLoop&);
};

EventLoopPlatform::EventLoopPlatform() = default;
EventLoopPlatform::~EventLoopPlatform() = default;

void EventLoop::OpenSystem() {
    m_hEpoll = epoll_create1(EPOLL_CLOEXEC);
    m_hTimer = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    m_hWake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    m_hSpare = open("/dev/null", O_RDONLY | O_CLOEXEC);
    m_pWake = std::make_unique<EpollCounter>(*this, m_hWake, &EventLoopSystem::DeliverLookups);
    m_pTimerHandler =
        std::make_unique<EpollCounter>(*this, m_hTimer, &EventLoopSystem::RunDueTimers);
    if (m_hEpoll >= 0) {
        Register(m_hWake, m_pWake.get(), EPOLLIN);
        Register(m_hTimer, m_pTimerHandler.get(), EPOLLIN);
    }
}

void EventLoop::CloseSystem() {
    close(m_hWake);
    close(m_hTimer);
    close(m_hEpoll);
    if (m_hSpare >= 0)
        close(m_hSpare);
}

bool EventLoop::RunOnce(int nTimeoutMs) {
    AssertInLoopThread();
    if (m_bRunning) {
        return false;
    }
    m_bRunning = true;
    epoll_event events[kMaxEventsPerWait];
    bool bBusy = !m_posted.empty() || !m_held.empty();
    int nReady = epoll_wait(m_hEpoll, events, kMaxEventsPerWait, bBusy ? 0 : nTimeoutMs);
    m_bDispatching = true;
    for (int i = 0; i < nReady; ++i) {
        auto* pHandler = static_cast<IEventHandler*>(events[i].data.ptr);
        // A handler earlier in this batch may have closed or deleted this one.
        if (!WasUnregistered(pHandler)) {
            Dispatch(pHandler, events[i].events);
        }
    }
    DispatchHeld();
    FinishBatch();
    m_bRunning = false;
    if (!m_held.empty()) {
        // The epoll descriptor must turn readable for a shell that waits on it.
        Wake();
    }
    return true;
}

void EventLoop::Register(int fd, IEventHandler* pHandler, std::uint32_t nEvents) {
    ReserveUnregister();
    EventLoopSystem::Control(*this, EPOLL_CTL_ADD, fd, pHandler, nEvents);
}

void EventLoop::Modify(int fd, IEventHandler* pHandler, std::uint32_t nEvents) {
    EventLoopSystem::Control(*this, EPOLL_CTL_MOD, fd, pHandler, nEvents);
}

void EventLoop::Unregister(int fd, IEventHandler* pHandler) {
    EventLoopSystem::Control(*this, EPOLL_CTL_DEL, fd, pHandler, 0);
    ForgetClosing(fd, pHandler);
}

void EventLoop::ForgetClosing(int, IEventHandler* pHandler) {
    ForgetHeld(pHandler);
    NoteUnregistered(pHandler);
}

void EventLoop::RequestHeldDispatch() {
    // Inside RunOnce the held handlers are dispatched anyway.
    if (!m_bRunning)
        Wake();
}

void EventLoop::Wake() {
    Signal(m_hWake);
}

void EventLoop::ArmTimer() {
    itimerspec timeout{};
    if (auto due = m_timers.NextDue()) {
        auto nNs =
            std::chrono::duration_cast<std::chrono::nanoseconds>(due->time_since_epoch()).count();
        // steady_clock is CLOCK_MONOTONIC here; never arm with zero, which disarms.
        if (nNs <= 0)
            nNs = 1;
        timeout.it_value.tv_sec = nNs / 1000000000;
        timeout.it_value.tv_nsec = nNs % 1000000000;
    }
    timerfd_settime(m_hTimer, TFD_TIMER_ABSTIME, &timeout, nullptr);
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
