#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "byte_stream.h"
#include "event_loop_platform.h"
#include "name_lookup.h"
#include "timer_queue.h"

class LingeringClose;
class SendQueue;

// Something the loop calls when its descriptor is ready.
class IEventHandler {
public:
    virtual void HandleEvents(std::uint32_t nEvents) = 0;
    // HandleEvents threw (out of memory, say): give up what it was doing.
    virtual void HandleFailure() {}

protected:
    ~IEventHandler() = default;
};

// The one event loop of the proxy's thread: readiness of sockets (epoll on
// Linux, WSAAsyncSelect messages on Windows, both level-triggered), a FIFO of
// posted work that runs after the handlers of each batch have returned, one-shot
// timers (TimerQueue), name lookups done off the thread (NameLookup), and the last writes of
// connections that have been closed (LingeringClose). Everything it calls runs
// on the thread that made it, and only that thread may call it. The system's
// part is in posix/ and win32/.
class EventLoop : public EventLoopPlatform {
public:
    using Clock = TimerQueue::Clock;
    using TimerId = TimerQueue::TimerId;
    using Addresses = NameLookup::Addresses;
    using LookupFunction = NameLookup::LookupFunction;
    using LookupDone = NameLookup::LookupDone;
    using ThreadStarter = NameLookup::ThreadStarter;

    // Size of the scratch area that moves relayed bytes in large chunks.
    static constexpr std::size_t kScratchSize = 64 * 1024;

    EventLoop();
    ~EventLoop();
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    // The loop of the calling thread, or null.
    static EventLoop* Current();

    // Waits up to nTimeoutMs (-1: no limit) for events, handles them, then runs
    // the posted work. Not re-entrant: returns false at once when called from
    // anything it is running. Nothing it calls may run a modal loop.
    bool RunOnce(int nTimeoutMs);

    // nEvents: sys::kIn, kOut, kRdHup; hang-ups and errors are always reported.
    void Register(SOCKET fd, IEventHandler* pHandler, std::uint32_t nEvents);
    void Modify(SOCKET fd, IEventHandler* pHandler, std::uint32_t nEvents);
    void Unregister(SOCKET fd, IEventHandler* pHandler);
    // For a descriptor about to be closed: closing drops it from epoll by
    // itself, so only the handler is forgotten.
    void ForgetClosing(SOCKET fd, IEventHandler* pHandler);
    // True when pHandler was unregistered (closed, perhaps deleted) while this
    // batch of events was being handled; it must not be called again in it.
    bool WasUnregistered(const IEventHandler* pHandler) const;
    // Dispatches the registered pHandler once more with sys::kIn, soon, though
    // the kernel does not signal it: its stream holds bytes already taken from
    // the kernel. Unregistering it cancels that.
    void Redispatch(IEventHandler* pHandler);

    // Runs fn after the current handler and every handler of this batch have
    // returned, in the order posted.
    void Post(std::function<void()> fn);
    // Room in the posted work for what must not be lost when memory runs out,
    // such as a session's end notice. ReservePost throws when it cannot keep
    // the room; PostReserved takes it and cannot fail, for an fn held without
    // allocation (a lambda of two words); ReleasePost gives it back unused.
    void ReservePost();
    void PostReserved(std::function<void()> fn) noexcept;
    void ReleasePost() noexcept;

    TimerId SetTimer(Clock::duration delay, std::function<void()> fn);
    void KillTimer(TimerId nTimer);

    // Takes over a closed connection: writes what is still pending (also to a
    // peer that has half-closed and reads on), shuts the sending side and waits
    // (bounded) for the peer to close, so that nothing sent is cut off by a
    // reset. What the peer still sends is read, wiped and dropped.
    // Takes the stream (null: plain TCP) and the queue (may be null) along;
    // never throws: when it cannot take the connection over, it closes it.
    void LingerClose(SOCKET fd, std::unique_ptr<IByteStream> pStream,
                     std::unique_ptr<SendQueue> pPending) noexcept;
    std::size_t LingeringCount() const;

    // Name lookups off the loop thread; done is called on the loop thread
    // unless the lookup is cancelled first. Lookups of the same name under way
    // together are made once. Returns 0, with the error in nError, when the
    // lookup cannot be started (too many names waiting, no thread for it).
    std::uint64_t Lookup(const std::string& strHost, LookupDone done, int& nError);
    // A lookup no one else waits for is dropped if it has not started yet.
    void CancelLookup(std::uint64_t nLookup);
    void SetLookupFunction(LookupFunction fn);
    // How lookup threads are started (null: std::thread).
    void SetThreadStarter(ThreadStarter fn);

    char* Scratch();

    // A descriptor kept in reserve, so that a connection can still be accepted
    // and closed when the process has run out of descriptors.
    void ReleaseSpareFd();
    void RestoreSpareFd();
    static bool IsOutOfDescriptors(int nError) {
        return nError == sys::kErrTooManyFiles || nError == sys::kErrTooManySystemFiles;
    }
    // Out of descriptors: the shedders, in the order added, are asked to give
    // up a connection until one does. False when none did. A shedder closes
    // one connection at once and returns true, or false when none can be spared.
    bool ShedConnection();
    void AddShedder(const void* pOwner, std::function<bool()> fnShed);
    void RemoveShedder(const void* pOwner) noexcept;

    // May be called from any thread: makes a RunOnce that waits return soon.
    void Wake();

private:
    // The system's part: posix/event_loop_epoll.cpp, win32/event_loop_win32.cpp.
    friend class EventLoopSystem;
    void OpenSystem();
    void CloseSystem();

    void AssertInLoopThread() const;
    // Sockets are unregistered in destructors and Close, which must not fail:
    // the room to note that is had when they register.
    void ReserveUnregister();
    void NoteUnregistered(const IEventHandler* pHandler) noexcept;
    void Append(std::function<void()>& fn) noexcept;
    void Dispatch(IEventHandler* pHandler, std::uint32_t nEvents);
    // Dispatches the handlers asked for by Redispatch until now, once each.
    void DispatchHeld();
    void ForgetHeld(const IEventHandler* pHandler);
    // The system's part: makes the loop run DispatchHeld soon.
    void RequestHeldDispatch();
    void RunPosted();
    void RunDueTimers();
    void DeliverLookups();
    void ArmTimer();
    // Ends a batch of handlers: the posted work, then the lingering connections
    // that have finished.
    void FinishBatch();

    bool m_bRunning = false;
    bool m_bDispatching = false;
    std::thread::id m_owner;
    std::vector<const IEventHandler*> m_unregistered;  // during the current batch
    std::size_t m_nRegistered = 0;       // handlers that may yet be noted in m_unregistered
    std::vector<IEventHandler*> m_held;  // to be dispatched again (Redispatch)
    // Never shrinks, and has room for its items and every reserved one.
    std::vector<std::function<void()>> m_posted;
    std::size_t m_nReservedPosts = 0;
    TimerQueue m_timers;
    std::unique_ptr<LingeringClose> m_pLingering;
    std::unique_ptr<NameLookup> m_pLookup;
    std::unique_ptr<char[]> m_pScratch;
    std::vector<std::pair<const void*, std::function<bool()>>> m_shedders;
};
