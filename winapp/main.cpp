// postern.exe: the tray application on Windows.

#include <winsock2.h>
// After winsock2.h, which it would otherwise conflict with.
#include <windows.h>

#include <string>

#include "config_dlg.h"
#include "event_loop.h"
#include "resource.h"
#include "settings_store.h"
#include "utf16.h"

namespace {

std::string ProgramPath() {
    std::wstring strPath(MAX_PATH, L'\0');
    for (;;) {
        DWORD nLength =
            ::GetModuleFileNameW(nullptr, strPath.data(), static_cast<DWORD>(strPath.size()));
        if (nLength < strPath.size()) {
            strPath.resize(nLength);
            return Narrow(strPath);
        }
        strPath.resize(strPath.size() * 2);
    }
}

void ShowStartFailure(HINSTANCE hInstance, const std::string& strCaption) {
    wchar_t szText[128];
    ::LoadStringW(hInstance, IDP_SOCKETS_INIT_FAILED, szText, static_cast<int>(std::size(szText)));
    ::MessageBoxW(nullptr, szText, Widen(strCaption).c_str(), MB_OK | MB_ICONEXCLAMATION);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE hInstance, HINSTANCE, PWSTR, int) {
    // The settings, and with them the instance, go by the program file's own name.
    std::string strName = CSettingsStore::ApplicationNameOf(ProgramPath());
    WSADATA data;
    if (::WSAStartup(MAKEWORD(2, 2), &data) != 0) {
        ShowStartFailure(hInstance, strName);
        return 1;
    }
    // A second start under the same name would only add an icon whose listener
    // cannot bind: the running one shows its dialog instead.
    std::wstring strTag = L"quill.Postern." + Widen(strName);
    HANDLE hMutex = ::CreateMutexW(nullptr, TRUE, (L"Local\\" + strTag).c_str());
    if (hMutex != nullptr && ::GetLastError() == ERROR_ALREADY_EXISTS) {
        // The first may still be starting: give it a moment to make its window.
        for (int nTry = 0; nTry < 50; ++nTry) {
            if (HWND hRunning = CConfigDlg::FindRunning(strTag)) {
                DWORD nProcess = 0;
                ::GetWindowThreadProcessId(hRunning, &nProcess);
                ::AllowSetForegroundWindow(nProcess);
                ::PostMessageW(hRunning, WM_COMMAND, ID_TRAY_RESTORE, 0);
                break;
            }
            ::Sleep(100);
        }
        ::CloseHandle(hMutex);
        ::WSACleanup();
        return 0;
    }

    int nResult = 0;
    {
        EventLoop loop;
        CConfigDlg dlg(hInstance, CSettingsStore(strName));
        if (!dlg.Create(strTag)) {
            ShowStartFailure(hInstance, strName);
            nResult = 1;
        } else {
            // The one loop of the program: it also carries the proxy's socket
            // events, notices and timers, which arrive as window messages.
            MSG msg;
            while (::GetMessageW(&msg, nullptr, 0, 0) > 0) {
                HWND hDlg = dlg.GetSafeHwnd();
                if (hDlg == nullptr || !::IsDialogMessageW(hDlg, &msg)) {
                    ::TranslateMessage(&msg);
                    ::DispatchMessageW(&msg);
                }
            }
            nResult = static_cast<int>(msg.wParam);
        }
    }
    if (hMutex != nullptr) {
        ::CloseHandle(hMutex);
    }
    ::WSACleanup();
    return nResult;
}
