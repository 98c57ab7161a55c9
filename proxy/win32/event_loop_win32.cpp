// The event loop on Windows: a message-only window receives the sockets'
// WSAAsyncSelect messages, the posted wakes and the timer, from whichever
// message loop the thread runs (RunOnce's own, a dialog's, a message box's).
//
// A socket message is only a hint: by the time it arrives the socket may have
// been closed and its handle number given to a new one, and Windows reports
// some conditions once only. So each message makes the loop look at the socket
// as it is now (select with no wait) and hand the handler what it asked for;
// after a handler has run, one more look is posted, so that a condition that
// still holds is reported again, level-triggered as epoll reports it on Linux.
// Only the peer's close cannot be seen behind unread bytes: each registration
// has a message number of its own, so the one FD_CLOSE Windows sends is
// believed when it comes under the number of the socket's registration.

#include <cassert>
#include <chrono>

#include "event_loop.h"

namespace {

constexpr UINT kLookMessage = WM_APP + 0x10;  // posted by the loop: look at a socket again
constexpr UINT kWakeMessage = WM_APP + 0x11;
constexpr UINT kHeldMessage = WM_APP + 0x12;  // dispatch the sockets whose streams hold bytes
// From WSAAsyncSelect, one number per registration, in turn.
constexpr UINT kFirstSocketMessage = WM_APP + 0x100;
constexpr UINT kSocketMessages = 0x1000;
constexpr UINT_PTR kTimerId = 1;
constexpr int kMaxMessagesPerRun = 256;
constexpr wchar_t kWindowClass[] = L"PosternEventLoop";

long SelectMask(std::uint32_t nEvents) {
    // Hang-ups and failed connections are always reported, as epoll does.
    long lMask = FD_CLOSE | FD_CONNECT;
    if (nEvents & (sys::kIn | sys::kRdHup))
        lMask |= FD_READ | FD_ACCEPT;
    if (nEvents & sys::kOut)
        lMask |= FD_WRITE;
    return lMask;
}

// What of nWanted holds for the socket now, plus hang-ups and failures.
std::uint32_t Look(SOCKET h, std::uint32_t nWanted, bool bClosed) {
    fd_set readable;
    fd_set writable;
    fd_set failed;
    FD_ZERO(&readable);
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(h, &readable);
    FD_SET(h, &writable);
    FD_SET(h, &failed);
    timeval noWait{0, 0};
    if (select(0, &readable, &writable, &failed, &noWait) == SOCKET_ERROR)
        return 0;  // closed meanwhile
    std::uint32_t nReady = 0;
    if (FD_ISSET(h, &failed)) {
        // A connection attempt that failed; out-of-band data, which no one
        // asked for, also shows here, on a connected socket.
        sockaddr_storage peer;
        int nLength = sizeof peer;
        if (getpeername(h, reinterpret_cast<sockaddr*>(&peer), &nLength) != 0)
            nReady |= sys::kErr | sys::kHup;
    }
    if (FD_ISSET(h, &writable) && (nWanted & sys::kOut))
        nReady |= sys::kOut;
    if (FD_ISSET(h, &readable)) {
        if (nWanted & sys::kIn) {
            nReady |= sys::kIn;
        } else if (bClosed) {
            nReady |= nWanted & sys::kRdHup;
        } else {
            // Not reading: only the end of the connection counts.
            char c;
            int n = recv(h, &c, 1, MSG_PEEK);
            if (n == 0 && (nWanted & sys::kRdHup))
                nReady |= sys::kRdHup;
            else if (n < 0 && WSAGetLastError() != WSAEWOULDBLOCK &&
                     WSAGetLastError() != WSAENOTCONN)
                nReady |= sys::kHup | sys::kErr;
        }
    }
    return nReady;
}

}  // namespace

class EventLoopSystem {
public:
    static LRESULT CALLBACK WindowProc(HWND hWnd, UINT nMessage, WPARAM wParam, LPARAM lParam) {
        if (nMessage == WM_NCCREATE) {
            auto* pCreate = reinterpret_cast<CREATESTRUCTW*>(lParam);
            SetWindowLongPtrW(hWnd, GWLP_USERDATA,
                              reinterpret_cast<LONG_PTR>(pCreate->lpCreateParams));
        }
        auto* pLoop = reinterpret_cast<EventLoop*>(GetWindowLongPtrW(hWnd, GWLP_USERDATA));
        if (pLoop == nullptr)
            return DefWindowProcW(hWnd, nMessage, wParam, lParam);
        EventLoop& loop = *pLoop;
        if (nMessage >= kFirstSocketMessage && nMessage < kFirstSocketMessage + kSocketMessages) {
            NoteClose(loop, SOCKET(wParam), nMessage, lParam);
            nMessage = kLookMessage;
            lParam = 0;
        }
        switch (nMessage) {
            case kLookMessage:
                if (loop.m_bRunning) {
                    // A handler runs a modal loop: look again once it has returned.
                    // The loop's own look is spent here, or End would post no other.
                    if (lParam == kLooking)
                        SpendLook(loop, SOCKET(wParam));
                    loop.m_deferred.push_back(SOCKET(wParam));
                    return 0;
                }
                Begin(loop);
                HandleSocket(loop, SOCKET(wParam), lParam == kLooking);
                End(loop);
                return 0;
            case kWakeMessage:
                if (loop.m_bRunning) {
                    loop.m_bWakeDeferred = true;
                    return 0;
                }
                Begin(loop);
                loop.DeliverLookups();
                End(loop);
                return 0;
            case kHeldMessage:
                loop.m_bHeldPosted = false;
                if (loop.m_bRunning)
                    return 0;  // a handler runs a modal loop: End posts again
                Begin(loop);
                loop.DispatchHeld();
                End(loop);
                return 0;
            case WM_TIMER:
                if (wParam != kTimerId)
                    return 0;
                if (loop.m_bRunning) {
                    loop.m_bTimerDeferred = true;
                    return 0;
                }
                Begin(loop);
                loop.RunDueTimers();
                End(loop);
                return 0;
            default:
                return DefWindowProcW(hWnd, nMessage, wParam, lParam);
        }
    }

    static void Select(EventLoop& loop, SOCKET h, const EventLoop::Watch& watch) {
        WSAAsyncSelect(h, loop.m_hWnd, watch.nMessage, SelectMask(watch.nEvents));
    }

    static void PostHeld(EventLoop& loop) {
        if (!loop.m_bHeldPosted)
            loop.m_bHeldPosted = PostMessageW(loop.m_hWnd, kHeldMessage, 0, 0) != 0;
    }

    static UINT NextMessage(EventLoop& loop) {
        return kFirstSocketMessage + loop.m_nNextMessage++ % kSocketMessages;
    }

    static void LookAgain(EventLoop& loop, SOCKET h, EventLoop::Watch& watch) {
        if (!watch.bLookPending)
            watch.bLookPending = PostMessageW(loop.m_hWnd, kLookMessage, WPARAM(h), kLooking) != 0;
    }

private:
    static constexpr LPARAM kLooking =
        1;  // a look the loop posted, not one a socket message asks for

    static void NoteClose(EventLoop& loop, SOCKET h, UINT nMessage, LPARAM lParam) {
        auto it = loop.m_watched.find(h);
        if (it != loop.m_watched.end() && it->second.nMessage == nMessage &&
            WSAGETSELECTEVENT(lParam) == FD_CLOSE)
            it->second.bClosed = true;
    }

    static void SpendLook(EventLoop& loop, SOCKET h) {
        auto it = loop.m_watched.find(h);
        if (it != loop.m_watched.end())
            it->second.bLookPending = false;
    }

    static void Begin(EventLoop& loop) {
        loop.m_bRunning = true;
        loop.m_bDispatching = true;
    }

    static void End(EventLoop& loop) {
        loop.FinishBatch();
        loop.m_bRunning = false;
        std::vector<SOCKET> deferred;
        deferred.swap(loop.m_deferred);
        for (SOCKET h : deferred) {
            auto it = loop.m_watched.find(h);
            if (it != loop.m_watched.end())
                LookAgain(loop, h, it->second);
        }
        if (loop.m_bWakeDeferred) {
            loop.m_bWakeDeferred = false;
            loop.Wake();
        }
        if (!loop.m_held.empty())
            PostHeld(loop);
        if (loop.m_bTimerDeferred) {
            loop.m_bTimerDeferred = false;
            loop.ArmTimer();  // what fell due meanwhile runs at once
        }
    }

    static void HandleSocket(EventLoop& loop, SOCKET h, bool bLook) {
        auto it = loop.m_watched.find(h);
        if (it == loop.m_watched.end())
            return;  // closed: the message was for a socket that is gone
        if (bLook)
            it->second.bLookPending = false;
        std::uint32_t nReady = Look(h, it->second.nEvents, it->second.bClosed);
        if (nReady == 0)
            return;
        IEventHandler* pHandler = it->second.pHandler;
        loop.Dispatch(pHandler, nReady);
        if (loop.WasUnregistered(pHandler))
            return;
        it = loop.m_watched.find(h);
        if (it != loop.m_watched.end() && it->second.pHandler == pHandler)
            LookAgain(loop, h, it->second);
    }
};

void EventLoop::OpenSystem() {
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0)
        return;
    m_bWinsock = true;
    static const ATOM s_nClass = [] {
        WNDCLASSEXW windowClass{};
        windowClass.cbSize = sizeof windowClass;
        windowClass.lpfnWndProc = &EventLoopSystem::WindowProc;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.lpszClassName = kWindowClass;
        return RegisterClassExW(&windowClass);
    }();
    if (s_nClass == 0)
        return;
    m_hWnd = CreateWindowExW(0, kWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                             GetModuleHandleW(nullptr), this);
}

void EventLoop::CloseSystem() {
    if (m_hWnd != nullptr) {
        ::KillTimer(m_hWnd, kTimerId);
        DestroyWindow(m_hWnd);
        m_hWnd = nullptr;
    }
    if (m_bWinsock)
        WSACleanup();
}

bool EventLoop::RunOnce(int nTimeoutMs) {
    AssertInLoopThread();
    // The loop's work runs in its window's procedure, which sets m_bRunning.
    if (m_bRunning) {
        return false;
    }
    MSG msg;
    if (nTimeoutMs != 0 && !PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE)) {
        MsgWaitForMultipleObjectsEx(0, nullptr, nTimeoutMs < 0 ? INFINITE : DWORD(nTimeoutMs),
                                    QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    }
    for (int i = 0; i < kMaxMessagesPerRun && PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE); ++i) {
        if (msg.message == WM_QUIT) {
            PostQuitMessage(int(msg.wParam));  // for the thread's own loop
            break;
        }
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return true;
}

void EventLoop::Register(SOCKET fd, IEventHandler* pHandler, std::uint32_t nEvents) {
    AssertInLoopThread();
    ReserveUnregister();
    Watch& watch = m_watched[fd];
    watch = Watch{pHandler, nEvents, EventLoopSystem::NextMessage(*this), false, false};
    EventLoopSystem::Select(*this, fd, watch);
    EventLoopSystem::LookAgain(*this, fd, watch);
}

void EventLoop::Modify(SOCKET fd, IEventHandler* pHandler, std::uint32_t nEvents) {
    AssertInLoopThread();
    auto it = m_watched.find(fd);
    assert(it != m_watched.end() && "Modify of a socket not registered");
    if (it == m_watched.end())
        return;
    Watch& watch = it->second;
    bool bMore = (nEvents & ~watch.nEvents) != 0;
    bool bChanged = SelectMask(nEvents) != SelectMask(watch.nEvents);
    watch.pHandler = pHandler;
    watch.nEvents = nEvents;
    if (bChanged)
        EventLoopSystem::Select(*this, fd, watch);
    if (bMore)
        EventLoopSystem::LookAgain(*this, fd, watch);
}

void EventLoop::Unregister(SOCKET fd, IEventHandler* pHandler) {
    AssertInLoopThread();
    WSAAsyncSelect(fd, m_hWnd, 0, 0);
    ForgetClosing(fd, pHandler);
}

void EventLoop::ForgetClosing(SOCKET fd, IEventHandler* pHandler) {
    ForgetHeld(pHandler);
    auto it = m_watched.find(fd);
    if (it != m_watched.end() && it->second.pHandler == pHandler)
        m_watched.erase(it);
    NoteUnregistered(pHandler);
}

void EventLoop::RequestHeldDispatch() {
    EventLoopSystem::PostHeld(*this);
}

void EventLoop::Wake() {
    PostMessageW(m_hWnd, kWakeMessage, 0, 0);
}

void EventLoop::ArmTimer() {
    if (m_hWnd == nullptr)
        return;
    auto due = m_timers.NextDue();
    if (!due) {
        ::KillTimer(m_hWnd, kTimerId);
        return;
    }
    auto wait = std::chrono::ceil<std::chrono::milliseconds>(*due - Clock::now());
    auto nMs = wait.count();
    nMs = nMs < 1 ? 1 : nMs > 0x7fffffff ? 0x7fffffff : nMs;
    ::SetTimer(m_hWnd, kTimerId, UINT(nMs), nullptr);
}

// Windows has no descriptor limit to keep a spare descriptor against.
void EventLoop::ReleaseSpareFd() {}
void EventLoop::RestoreSpareFd() {}
