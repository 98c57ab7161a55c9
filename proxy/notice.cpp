#include "notice.h"

#include "event_loop.h"

CNoticeWnd* g_hMainWnd = nullptr;

namespace {

// Two words: a std::function holds it without allocating.
std::function<void()> SessionNotice(WPARAM wParam, LPARAM lParam) noexcept {
    return [wParam, lParam] {
        if (g_hMainWnd != nullptr)
            g_hMainWnd->OnSessionNotify(wParam, lParam);
    };
}

}  // namespace

void PostSessionNotify(WPARAM wParam, LPARAM lParam) {
    EventLoop::Current()->Post(SessionNotice(wParam, lParam));
}

void PostReservedSessionNotify(WPARAM wParam, LPARAM lParam) noexcept {
    EventLoop::Current()->PostReserved(SessionNotice(wParam, lParam));
}

void PostReport(std::string strText, std::string strFingerprint) {
    EventLoop::Current()->Post(
        [strText = std::move(strText), strFingerprint = std::move(strFingerprint)] {
            if (g_hMainWnd == nullptr)
                return;
            if (strFingerprint.empty())
                g_hMainWnd->OnReport(strText);
            else
                g_hMainWnd->OnUntrustedCertificate(strText, strFingerprint);
        });
}

void PostCapaRefused() {
    EventLoop::Current()->Post([] {
        if (g_hMainWnd != nullptr)
            g_hMainWnd->OnCapaRefused();
    });
}
