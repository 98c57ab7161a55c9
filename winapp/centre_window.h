#pragma once

#include <windows.h>

// Puts hWnd in the middle of hOver when that is visible, otherwise in the
// middle of the work area of the screen.
void CentreWindow(HWND hWnd, HWND hOver);
