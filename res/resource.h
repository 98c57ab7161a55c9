// Resource and control numbers of the Windows build of postern, shared by
// postern.rc and the Win32 shell.
#pragma once

#define IDD_ABOUTBOX 100
#define IDS_ABOUTBOX 101
#define IDD_CONFIG 102
#define IDP_SOCKETS_INIT_FAILED 103
#define IDR_MAINFRAME 128
#define IDI_IDLE 135
#define IDI_ACTIVE 136
#define IDI_NOT_LISTENING 137

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif
#define IDC_HOST 1000
#define IDC_HOST_PORT 1001
#define IDC_ABOUT 1002
#define IDC_LOCAL_PORT 1003
#define IDC_QUIT 1004
#define IDC_CLOSE 1005
#define IDC_APPLY 1006
#define IDC_ANSWER_CAPA 1007
#define IDC_SERVER_TLS 1008
#define IDC_ACCEPT_OTHERS 1009

#define IDM_ABOUTBOX 0x0010
#define ID_TRAY_RESTORE 0x8003
#define ID_TRAY_ABOUT 0x8004
#define ID_TRAY_EXIT 0x8005
