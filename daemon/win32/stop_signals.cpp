#include "stop_signals.h"

#include <windows.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <utility>

#include "event_loop.h"

namespace {

// Windows gives a process that loads user32 no console event at logoff or
// shutdown, and a message-only window no broadcast: a hidden top-level window
// of this class hears those. The installer finds it by this name.
constexpr wchar_t kSessionWindowClass[] = L"PosterndSession";
// Windows ends the process soon after the end of the session is announced
// (about 5 seconds after a console event): the loop gets this long to end.
constexpr DWORD kStopWaitMs = 4000;

// The console's control handler and the session window run on threads of
// their own; the lock keeps them from waking a loop that is being destroyed.
std::mutex g_loopLock;
EventLoop* g_pLoop = nullptr;
std::atomic<bool> g_bStop{false};
HANDLE g_hStopped = CreateEventW(nullptr, TRUE, FALSE, nullptr);  // set once the loop has ended
HANDLE g_hControlThread = nullptr;  // the first thread the console's control handler ran on

// bWait: the process ends when the caller returns, so return once the loop
// has ended cleanly (or the time is up).
void RequestStop(bool bWait) {
    {
        std::lock_guard lock(g_loopLock);
        g_bStop = true;
        if (g_pLoop != nullptr)
            g_pLoop->Wake();
    }
    if (bWait)
        WaitForSingleObject(g_hStopped, kStopWaitMs);
}

BOOL WINAPI OnConsoleControl(DWORD nEvent) {
    {
        // The process must not end while this thread is still ending: the
        // race is one that wine has been seen to lose, the process dying of a
        // segmentation fault. The loop's end waits for it.
        std::lock_guard lock(g_loopLock);
        if (g_hControlThread == nullptr) {
            DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(),
                            &g_hControlThread, SYNCHRONIZE, FALSE, 0);
        }
    }
    RequestStop(nEvent == CTRL_CLOSE_EVENT || nEvent == CTRL_LOGOFF_EVENT ||
                nEvent == CTRL_SHUTDOWN_EVENT);
    return TRUE;
}

LRESULT CALLBACK SessionWindowProc(HWND hWnd, UINT nMessage, WPARAM wParam, LPARAM lParam) {
    switch (nMessage) {
        case WM_QUERYENDSESSION:
            return TRUE;
        case WM_ENDSESSION:
            if (wParam)
                RequestStop(true);
            return 0;
        case WM_CLOSE:  // the installer's request
            RequestStop(false);
            return 0;
        default:
            return DefWindowProcW(hWnd, nMessage, wParam, lParam);
    }
}

}  // namespace

struct CStopSignals::Impl {
    std::thread windowThread;
    DWORD nWindowThreadId = 0;

    void RunSessionWindow(HANDLE hReady) {
        nWindowThreadId = GetCurrentThreadId();
        WNDCLASSEXW windowClass{};
        windowClass.cbSize = sizeof windowClass;
        windowClass.lpfnWndProc = SessionWindowProc;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.lpszClassName = kSessionWindowClass;
        RegisterClassExW(&windowClass);
        // Never shown; without a desktop to create it on, posternd runs on without it.
        HWND hWnd = CreateWindowExW(0, kSessionWindowClass, L"posternd", WS_OVERLAPPED, 0, 0, 0, 0,
                                    nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
        MSG msg;
        PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);  // the queue, for WM_QUIT
        SetEvent(hReady);
        while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        if (hWnd != nullptr)
            DestroyWindow(hWnd);
    }
};

CStopSignals::CStopSignals(EventLoop& loop) : m_pImpl(std::make_unique<Impl>()) {
    g_bStop = false;
    ResetEvent(g_hStopped);
    {
        std::lock_guard lock(g_loopLock);
        g_pLoop = &loop;
    }
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
    HANDLE hReady = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    m_pImpl->windowThread = std::thread([this, hReady] { m_pImpl->RunSessionWindow(hReady); });
    WaitForSingleObject(hReady, INFINITE);
    CloseHandle(hReady);
}

CStopSignals::~CStopSignals() {
    {
        std::lock_guard lock(g_loopLock);
        g_pLoop = nullptr;
    }
    // First, so that a handler waiting for it returns before the system's
    // lock around the handlers is wanted.
    SetEvent(g_hStopped);
    SetConsoleCtrlHandler(OnConsoleControl, FALSE);
    PostThreadMessageW(m_pImpl->nWindowThreadId, WM_QUIT, 0, 0);
    m_pImpl->windowThread.join();
    HANDLE hControlThread;
    {
        std::lock_guard lock(g_loopLock);
        hControlThread = std::exchange(g_hControlThread, nullptr);
    }
    if (hControlThread != nullptr) {
        WaitForSingleObject(hControlThread, kStopWaitMs);
        CloseHandle(hControlThread);
    }
}

bool CStopSignals::IsStopRequested() const {
    return g_bStop.load();
}

bool CStopSignals::TakeReloadRequest() {
    return false;  // Windows has no SIGHUP
}
