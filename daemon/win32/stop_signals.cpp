#include "stop_signals.h"

#include <windows.h>

#include <atomic>

#include "event_loop.h"

namespace {

// The console's control handler runs on a thread of its own.
std::atomic<EventLoop*> g_pLoop{nullptr};
std::atomic<bool> g_bStop{false};
HANDLE g_hStopped = nullptr;  // set once the loop has ended

BOOL WINAPI OnConsoleControl(DWORD nEvent) {
    g_bStop = true;
    if (EventLoop* pLoop = g_pLoop.load())
        pLoop->Wake();
    if (nEvent == CTRL_CLOSE_EVENT || nEvent == CTRL_LOGOFF_EVENT ||
        nEvent == CTRL_SHUTDOWN_EVENT) {
        // Windows ends the process as soon as this returns: give the loop
        // time to end cleanly first (Windows itself waits about 5 seconds).
        WaitForSingleObject(g_hStopped, 4000);
    }
    return TRUE;
}

}  // namespace

struct CStopSignals::Impl {};

CStopSignals::CStopSignals(EventLoop& loop) {
    g_hStopped = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    g_pLoop = &loop;
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

CStopSignals::~CStopSignals() {
    g_pLoop = nullptr;
    SetEvent(g_hStopped);
}

bool CStopSignals::IsStopRequested() const {
    return g_bStop.load();
}
