// posternd.exe at the end of the user's session, and when the installer asks
// it to close: its hidden window hears it, and posternd stops cleanly (exit 0)
// before the session-end message returns, after which Windows may end it.
// Usage: session_end_test POSTERND_EXE

#include <windows.h>
#include <winsock2.h>  // before windows.h

#include <cstdio>
#include <string>

namespace {

constexpr DWORD kLimitMs = 10000;

int FreePort() {
    SOCKET h = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int nLength = sizeof address;
    bind(h, reinterpret_cast<sockaddr*>(&address), sizeof address);
    getsockname(h, reinterpret_cast<sockaddr*>(&address), &nLength);
    closesocket(h);
    return ntohs(address.sin_port);
}

struct WindowSearch {
    DWORD nProcessId;
    HWND hFound;
};

BOOL CALLBACK MatchWindow(HWND hWnd, LPARAM lParam) {
    auto* pSearch = reinterpret_cast<WindowSearch*>(lParam);
    wchar_t szClass[64];
    DWORD nProcessId = 0;
    GetWindowThreadProcessId(hWnd, &nProcessId);
    if (nProcessId == pSearch->nProcessId && GetClassNameW(hWnd, szClass, 64) > 0 &&
        std::wstring(szClass) == L"PosterndSession") {
        pSearch->hFound = hWnd;
        return FALSE;
    }
    return TRUE;
}

// posternd's session window, once it has one; null after the limit.
HWND WaitForWindow(DWORD nProcessId) {
    for (DWORD nWaited = 0; nWaited < kLimitMs; nWaited += 50) {
        WindowSearch search{nProcessId, nullptr};
        EnumWindows(MatchWindow, reinterpret_cast<LPARAM>(&search));
        if (search.hFound != nullptr)
            return search.hFound;
        Sleep(50);
    }
    return nullptr;
}

// Starts posternd, asks it to end by nMessage and returns what went wrong, or "".
std::string EndBy(const std::wstring& strPosternd, UINT nMessage) {
    std::wstring strCommand =
        L"\"" + strPosternd + L"\" --host 127.0.0.1 --local-port " + std::to_wstring(FreePort());
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, strCommand.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process))
        return "posternd.exe cannot be started";
    std::string strProblem;
    HWND hWnd = WaitForWindow(process.dwProcessId);
    DWORD_PTR nAnswer = 0;
    if (hWnd == nullptr) {
        strProblem = "no session window";
    } else if (nMessage == WM_CLOSE) {
        PostMessageW(hWnd, WM_CLOSE, 0, 0);
    } else if (!SendMessageTimeoutW(hWnd, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF, SMTO_NORMAL,
                                    kLimitMs, &nAnswer) ||
               nAnswer != TRUE) {
        strProblem = "WM_QUERYENDSESSION not agreed to";
    } else if (!SendMessageTimeoutW(hWnd, WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF, SMTO_NORMAL,
                                    kLimitMs, &nAnswer)) {
        strProblem = "WM_ENDSESSION not answered";
    } else if (WaitForSingleObject(process.hProcess, 0) == WAIT_TIMEOUT) {
        // Windows may end it now: it must have stopped already.
        DWORD nStopping = WaitForSingleObject(process.hProcess, 2000);
        if (nStopping != WAIT_OBJECT_0)
            strProblem = "still running once WM_ENDSESSION returned";
    }
    DWORD nExitCode = 0;
    if (strProblem.empty() && WaitForSingleObject(process.hProcess, kLimitMs) != WAIT_OBJECT_0)
        strProblem = "did not stop";
    else if (strProblem.empty() && GetExitCodeProcess(process.hProcess, &nExitCode) &&
             nExitCode != 0)
        strProblem = "exit status " + std::to_string(nExitCode);
    if (WaitForSingleObject(process.hProcess, 0) == WAIT_TIMEOUT) {
        TerminateProcess(process.hProcess, 99);
        WaitForSingleObject(process.hProcess, kLimitMs);
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return strProblem;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        std::fputs("usage: session_end_test POSTERND_EXE\n", stderr);
        return 2;
    }
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    int nFailures = 0;
    for (auto [nMessage, pszName] : {std::pair{UINT(WM_ENDSESSION), "end of session"},
                                     std::pair{UINT(WM_CLOSE), "WM_CLOSE"}}) {
        std::string strProblem = EndBy(argv[1], nMessage);
        std::printf("%s: %s\n", pszName, strProblem.empty() ? "ok" : strProblem.c_str());
        nFailures += !strProblem.empty();
    }
    return nFailures == 0 ? 0 : 1;
}
