#include "win_text.h"

std::wstring Widen(const std::string& str) {
    if (str.empty()) {
        return {};
    }
    int nLength =
        ::MultiByteToWideChar(CP_UTF8, 0, str.data(), static_cast<int>(str.size()), nullptr, 0);
    std::wstring strWide(static_cast<std::size_t>(nLength), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, str.data(), static_cast<int>(str.size()), strWide.data(),
                          nLength);
    return strWide;
}

std::string Narrow(const std::wstring& str) {
    if (str.empty()) {
        return {};
    }
    int nLength = ::WideCharToMultiByte(CP_UTF8, 0, str.data(), static_cast<int>(str.size()),
                                        nullptr, 0, nullptr, nullptr);
    std::string strNarrow(static_cast<std::size_t>(nLength), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, str.data(), static_cast<int>(str.size()), strNarrow.data(),
                          nLength, nullptr, nullptr);
    return strNarrow;
}

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
