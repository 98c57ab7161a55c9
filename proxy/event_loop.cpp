// The portable part of the event loop: dispatch, posted work, the timer queue,
// and the lookups and lingering closes it hands on.

#include "event_loop.h"

#include <algorithm>
#include <cassert>

#include "lingering_close.h"
#include "send_queue.h"

namespace {

thread_local EventLoop* t_pCurrentLoop = nullptr;

// Makes room for nNeeded items, growing by doubling; throws when it cannot.
template <typename Item>
void KeepRoom(std::vector<Item>& items, std::size_t nNeeded) {
    if (nNeeded > items.capacity())
        items.reserve(std::max(nNeeded, 2 * items.capacity()));
}

}  // namespace

EventLoop::EventLoop() : m_owner(std::this_thread::get_id()) {
    OpenSystem();
    m_pLingering = std::make_unique<LingeringClose>(*this);
    // Wake is safe from any thread; the lookups stop calling it before the loop goes.
    m_pLookup = std::make_unique<NameLookup>([this] { Wake(); });
    // One loop per thread: sockets find theirs through Current().
    assert(t_pCurrentLoop == nullptr && "a second loop on this thread");
    if (t_pCurrentLoop == nullptr) {
        t_pCurrentLoop = this;
    }
}

EventLoop::~EventLoop() {
    AssertInLoopThread();
    m_pLingering.reset();
    // Stops the workers' wakes before what they wake goes.
    m_pLookup.reset();
    CloseSystem();
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

void EventLoop::Redispatch(IEventHandler* pHandler) {
    AssertInLoopThread();
    for (const IEventHandler* p : m_held) {
        if (p == pHandler)
            return;
    }
    bool bWasEmpty = m_held.empty();
    m_held.push_back(pHandler);
    if (bWasEmpty)
        RequestHeldDispatch();
}

void EventLoop::ForgetHeld(const IEventHandler* pHandler) {
    for (std::size_t i = 0; i < m_held.size(); ++i) {
        if (m_held[i] == pHandler) {
            m_held.erase(m_held.begin() + std::ptrdiff_t(i));
            return;
        }
    }
}

void EventLoop::DispatchHeld() {
    if (m_held.empty())
        return;
    std::vector<IEventHandler*> held;
    held.swap(m_held);
    for (IEventHandler* pHandler : held) {
        // One dispatched earlier may have closed or deleted this one: then it
        // was taken off m_held, but not off this copy.
        if (!WasUnregistered(pHandler))
            Dispatch(pHandler, sys::kIn);
    }
    // Keeps the storage for the next round when nothing was asked meanwhile.
    if (m_held.empty()) {
        held.clear();
        m_held.swap(held);
    }
}

void EventLoop::FinishBatch() {
    m_bDispatching = false;
    m_unregistered.clear();
    RunPosted();
    m_pLingering->Reap();
}

void EventLoop::ReserveUnregister() {
    KeepRoom(m_unregistered, m_unregistered.size() + m_nRegistered + 1);
    ++m_nRegistered;
}

void EventLoop::NoteUnregistered(const IEventHandler* pHandler) noexcept {
    if (m_nRegistered > 0)
        --m_nRegistered;
    if (m_bDispatching)
        m_unregistered.push_back(pHandler);  // within the capacity: cannot fail
}

bool EventLoop::WasUnregistered(const IEventHandler* pHandler) const {
    for (const IEventHandler* p : m_unregistered) {
        if (p == pHandler)
            return true;
    }
    return false;
}

void EventLoop::Post(std::function<void()> fn) {
    AssertInLoopThread();
    KeepRoom(m_posted, m_posted.size() + m_nReservedPosts + 1);
    Append(fn);
}

void EventLoop::ReservePost() {
    AssertInLoopThread();
    KeepRoom(m_posted, m_posted.size() + m_nReservedPosts + 1);
    ++m_nReservedPosts;
}

void EventLoop::PostReserved(std::function<void()> fn) noexcept {
    AssertInLoopThread();
    assert(m_nReservedPosts > 0 && "PostReserved without ReservePost");
    --m_nReservedPosts;
    Append(fn);
}

void EventLoop::ReleasePost() noexcept {
    assert(m_nReservedPosts > 0 && "ReleasePost without ReservePost");
    --m_nReservedPosts;
}

void EventLoop::Append(std::function<void()>& fn) noexcept {
    bool bWasEmpty = m_posted.empty();
    m_posted.push_back(std::move(fn));  // within the capacity: cannot fail
    // Inside RunOnce the queue is drained anyway; outside it, wake whoever
    // runs the loop.
    if (bWasEmpty && !m_bRunning) {
        Wake();
    }
}

void EventLoop::RunPosted() {
    // By index, and the storage kept, so that the reserved room stays; work
    // posted meanwhile is appended and runs in this round.
    for (std::size_t i = 0; i < m_posted.size(); ++i) {
        std::function<void()> fn = std::move(m_posted[i]);
        try {
            fn();
        } catch (...) {
            // One notice or report lost; the loop goes on.
        }
    }
    m_posted.clear();
}

EventLoop::TimerId EventLoop::SetTimer(Clock::duration delay, std::function<void()> fn) {
    AssertInLoopThread();
    bool bEarliest = false;
    TimerId nTimer = m_timers.Add(delay, std::move(fn), bEarliest);
    if (bEarliest)
        ArmTimer();
    return nTimer;
}

void EventLoop::KillTimer(TimerId nTimer) {
    AssertInLoopThread();
    m_timers.Cancel(nTimer);
}

void EventLoop::RunDueTimers() {
    m_timers.RunDue();
    ArmTimer();
}

void EventLoop::LingerClose(SOCKET fd, std::unique_ptr<IByteStream> pStream,
                            std::unique_ptr<SendQueue> pPending) noexcept {
    AssertInLoopThread();
    m_pLingering->Start(fd, std::move(pStream), std::move(pPending));
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

bool EventLoop::ShedConnection() {
    for (auto& [pOwner, fnShed] : m_shedders) {
        if (fnShed())
            return true;
    }
    return false;
}

void EventLoop::AddShedder(const void* pOwner, std::function<bool()> fnShed) {
    m_shedders.emplace_back(pOwner, std::move(fnShed));
}

void EventLoop::RemoveShedder(const void* pOwner) noexcept {
    std::erase_if(m_shedders, [pOwner](const auto& shedder) { return shedder.first == pOwner; });
}
