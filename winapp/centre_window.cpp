#include "centre_window.h"

void CentreWindow(HWND hWnd, HWND hOver) {
    RECT rcOver;
    if (hOver == nullptr || !::IsWindowVisible(hOver) || ::IsIconic(hOver) ||
        !::GetWindowRect(hOver, &rcOver)) {
        MONITORINFO info{};
        info.cbSize = sizeof(info);
        ::GetMonitorInfoW(::MonitorFromWindow(hWnd, MONITOR_DEFAULTTOPRIMARY), &info);
        rcOver = info.rcWork;
    }
    RECT rc;
    ::GetWindowRect(hWnd, &rc);
    int nX = rcOver.left + ((rcOver.right - rcOver.left) - (rc.right - rc.left)) / 2;
    int nY = rcOver.top + ((rcOver.bottom - rcOver.top) - (rc.bottom - rc.top)) / 2;
    ::SetWindowPos(hWnd, nullptr, nX, nY, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}
