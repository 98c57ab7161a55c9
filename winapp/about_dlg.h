#pragma once

#include <windows.h>

// The About box from the IDD_ABOUTBOX template: modal, owned by the
// configuration dialog, which stays hidden if it was.
class CAboutDlg {
public:
    static void DoModal(HINSTANCE hInstance, HWND hOwner);

private:
    static INT_PTR CALLBACK DialogProc(HWND hDlg, UINT nMessage, WPARAM wParam, LPARAM lParam);
};
