#include "about_dlg.h"

#include "centre_window.h"
#include "resource.h"

void CAboutDlg::DoModal(HINSTANCE hInstance, HWND hOwner) {
    ::DialogBoxParamW(hInstance, MAKEINTRESOURCEW(IDD_ABOUTBOX), hOwner, &CAboutDlg::DialogProc, 0);
}

INT_PTR CALLBACK CAboutDlg::DialogProc(HWND hDlg, UINT nMessage, WPARAM wParam, LPARAM) {
    switch (nMessage) {
        case WM_INITDIALOG:
            CentreWindow(hDlg, ::GetWindow(hDlg, GW_OWNER));
            return TRUE;
        case WM_COMMAND:
            if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
                ::EndDialog(hDlg, LOWORD(wParam));
                return TRUE;
            }
            break;
        default:
            break;
    }
    return FALSE;
}
