#include "notice.h"

#include "event_loop.h"

CNoticeWnd* g_hMainWnd = nullptr;

void PostSessionNotify(WPARAM wParam, LPARAM lParam) {
    EventLoop::Current()->Post([wParam, lParam] {
        if (g_hMainWnd != nullptr)
            g_hMainWnd->OnSessionNotify(wParam, lParam);
    });
}

void PostReport(std::string strText) {
    EventLoop::Current()->Post([strText = std::move(strText)] {
        if (g_hMainWnd != nullptr)
            g_hMainWnd->OnReport(strText);
    });
}

void PostCapaRefused() {
    EventLoop::Current()->Post([] {
        if (g_hMainWnd != nullptr)
            g_hMainWnd->OnCapaRefused();
    });
}
