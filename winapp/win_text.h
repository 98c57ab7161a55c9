#pragma once

#include <windows.h>

#include <string>

// The shared code speaks UTF-8; Windows speaks UTF-16.
std::wstring Widen(const std::string& str);
std::string Narrow(const std::wstring& str);

// Puts hWnd in the middle of hOver when that is visible, otherwise in the
// middle of the work area of the screen.
void CentreWindow(HWND hWnd, HWND hOver);
