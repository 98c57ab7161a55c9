#include "config_dlg.h"

#include <algorithm>
#include <utility>

#include "about_dlg.h"
#include "centre_window.h"
#include "resource.h"
#include "utf16.h"

namespace {

// Posted to the dialog when the proxy has something to report: the box is
// opened from the message loop, not from inside a socket's handler.
constexpr UINT WM_SHOW_REPORT = WM_APP + 1;
// Clear of the tray's callback and menu commands (0x8002 to 0x8005).
constexpr UINT WM_SHOW_OFFERS = WM_APP + 0x10;
// The message box's text control, on Windows as under wine.
constexpr int kMessageBoxText = 0xFFFF;

// Catches the report's message box as MessageBoxW makes it, so that its text
// can change while it is open.
HWND* g_phCatchBox = nullptr;

LRESULT CALLBACK CatchMessageBox(int nCode, WPARAM wParam, LPARAM lParam) {
    if (nCode == HCBT_CREATEWND && g_phCatchBox != nullptr && *g_phCatchBox == nullptr) {
        wchar_t szClass[8] = L"";
        ::GetClassNameW(reinterpret_cast<HWND>(wParam), szClass,
                        static_cast<int>(std::size(szClass)));
        if (::lstrcmpW(szClass, L"#32770") == 0) {
            *g_phCatchBox = reinterpret_cast<HWND>(wParam);
        }
    }
    return ::CallNextHookEx(nullptr, nCode, wParam, lParam);
}

RECT ChildRect(HWND hChild, HWND hParent) {
    RECT rc;
    ::GetWindowRect(hChild, &rc);
    ::MapWindowPoints(nullptr, hParent, reinterpret_cast<POINT*>(&rc), 2);
    return rc;
}

// A message box is sized for its first text: a longer one makes the text
// control, and the box under it, as much taller as the text needs.
void SetMessageBoxText(HWND hBox, const std::wstring& strText) {
    HWND hText = ::GetDlgItem(hBox, kMessageBoxText);
    if (hText == nullptr) {
        return;
    }
    RECT rcText = ChildRect(hText, hBox);
    HDC hDC = ::GetDC(hText);
    HGDIOBJ hOldFont =
        ::SelectObject(hDC, reinterpret_cast<HGDIOBJ>(::SendMessageW(hText, WM_GETFONT, 0, 0)));
    RECT rcNeeded{0, 0, rcText.right - rcText.left, 0};
    ::DrawTextW(hDC, strText.c_str(), -1, &rcNeeded,
                DT_CALCRECT | DT_WORDBREAK | DT_EXPANDTABS | DT_NOPREFIX);
    ::SelectObject(hDC, hOldFont);
    ::ReleaseDC(hText, hDC);
    ::SetWindowTextW(hText, strText.c_str());
    int nGrow = rcNeeded.bottom - (rcText.bottom - rcText.top);
    if (nGrow <= 0) {
        return;
    }
    constexpr UINT kKeep = SWP_NOZORDER | SWP_NOACTIVATE;
    for (HWND hChild = ::GetWindow(hBox, GW_CHILD); hChild != nullptr;
         hChild = ::GetWindow(hChild, GW_HWNDNEXT)) {
        RECT rc = ChildRect(hChild, hBox);
        if (hChild == hText) {
            ::SetWindowPos(hChild, nullptr, 0, 0, rc.right - rc.left, rc.bottom - rc.top + nGrow,
                           kKeep | SWP_NOMOVE);
        } else if (rc.top >= rcText.bottom) {
            ::SetWindowPos(hChild, nullptr, rc.left, rc.top + nGrow, 0, 0, kKeep | SWP_NOSIZE);
        }
    }
    RECT rcBox;
    ::GetWindowRect(hBox, &rcBox);
    ::SetWindowPos(hBox, nullptr, 0, 0, rcBox.right - rcBox.left, rcBox.bottom - rcBox.top + nGrow,
                   kKeep | SWP_NOMOVE);
    ::InvalidateRect(hBox, nullptr, TRUE);
}

// The choices of IDC_SERVER_TLS, in the order of the ServerTls setting's values.
constexpr const wchar_t* kServerTlsChoices[] = {L"Plain", L"STARTTLS", L"TLS"};

HICON LoadIconSized(HINSTANCE hInstance, int nId, int nSizeMetric) {
    int nSize = ::GetSystemMetrics(nSizeMetric);
    return static_cast<HICON>(
        ::LoadImageW(hInstance, MAKEINTRESOURCEW(nId), IMAGE_ICON, nSize, nSize, LR_DEFAULTCOLOR));
}

std::wstring GetItemText(HWND hDlg, int nId) {
    HWND hItem = ::GetDlgItem(hDlg, nId);
    std::wstring strText(static_cast<std::size_t>(::GetWindowTextLengthW(hItem)) + 1, L'\0');
    int nLength = ::GetWindowTextW(hItem, strText.data(), static_cast<int>(strText.size()));
    strText.resize(static_cast<std::size_t>(nLength));
    return strText;
}

void CopyTip(NOTIFYICONDATAW& nid, const std::string& strTip) {
    std::wstring strWide = Widen(strTip);
    ::lstrcpynW(nid.szTip, strWide.c_str(), static_cast<int>(std::size(nid.szTip)));
}

}  // namespace

CConfigDlg::CConfigDlg(HINSTANCE hInstance, CSettingsStore store)
    : m_hInstance(hInstance),
      m_hIcon(LoadIconSized(hInstance, IDR_MAINFRAME, SM_CXICON)),
      m_hIconSmall(LoadIconSized(hInstance, IDR_MAINFRAME, SM_CXSMICON)),
      m_hIconIdle(LoadIconSized(hInstance, IDI_IDLE, SM_CXSMICON)),
      m_hIconActive(LoadIconSized(hInstance, IDI_ACTIVE, SM_CXSMICON)),
      m_hIconNotListening(LoadIconSized(hInstance, IDI_NOT_LISTENING, SM_CXSMICON)),
      // Explorer sends it to every top-level window when it starts again.
      m_nTaskbarCreated(::RegisterWindowMessageW(L"TaskbarCreated")),
      m_logic(*this, std::move(store)) {}

CConfigDlg::~CConfigDlg() {
    if (m_hWnd != nullptr) {
        ::DestroyWindow(m_hWnd);
    }
    for (HICON hIcon : {m_hIcon, m_hIconSmall, m_hIconIdle, m_hIconActive, m_hIconNotListening}) {
        ::DestroyIcon(hIcon);
    }
}

bool CConfigDlg::Create(const std::wstring& strInstanceTag) {
    m_strInstanceTag = strInstanceTag;
    // Without WS_VISIBLE in the template the dialog starts hidden: it is never
    // seen before it is restored from the tray, and is centred then.
    return ::CreateDialogParamW(m_hInstance, MAKEINTRESOURCEW(IDD_CONFIG), nullptr,
                                &CConfigDlg::DialogProc, reinterpret_cast<LPARAM>(this)) != nullptr;
}

HWND CConfigDlg::FindRunning(const std::wstring& strInstanceTag) {
    struct Search {
        const std::wstring* pTag;
        HWND hFound;
    } search{&strInstanceTag, nullptr};
    ::EnumWindows(
        [](HWND hWnd, LPARAM lParam) -> BOOL {
            auto* pSearch = reinterpret_cast<Search*>(lParam);
            if (::GetPropW(hWnd, pSearch->pTag->c_str()) != nullptr) {
                pSearch->hFound = hWnd;
                return FALSE;
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.hFound;
}

INT_PTR CALLBACK CConfigDlg::DialogProc(HWND hDlg, UINT nMessage, WPARAM wParam, LPARAM lParam) {
    if (nMessage == WM_INITDIALOG) {
        auto* pThis = reinterpret_cast<CConfigDlg*>(lParam);
        ::SetWindowLongPtrW(hDlg, DWLP_USER, lParam);
        pThis->m_hWnd = hDlg;
    }
    auto* pThis = reinterpret_cast<CConfigDlg*>(::GetWindowLongPtrW(hDlg, DWLP_USER));
    return pThis != nullptr ? pThis->OnMessage(nMessage, wParam, lParam) : FALSE;
}

INT_PTR CConfigDlg::OnMessage(UINT nMessage, WPARAM wParam, LPARAM lParam) {
    switch (nMessage) {
        case WM_INITDIALOG:
            OnInitDialog();
            return TRUE;
        case WM_COMMAND:
            OnCommand(LOWORD(wParam), HIWORD(wParam));
            return TRUE;
        case WM_SYSCOMMAND:
            return OnSysCommand(static_cast<UINT>(wParam & 0xFFF0)) ? TRUE : FALSE;
        case WM_TRAY_NOTIFY:
            OnTrayNotify(wParam, lParam);
            return TRUE;
        case WM_SHOW_REPORT:
            OnShowReport();
            return TRUE;
        case WM_SHOW_OFFERS:
            OnShowOffers();
            return TRUE;
        case WM_ENDSESSION:
            // Windows logs off, or an installer asks it to end as the Restart
            // Manager does (ENDSESSION_CLOSEAPP): no questions, edits not applied are dropped.
            if (wParam != FALSE) {
                EndDialog();
            }
            return TRUE;
        case WM_DESTROY:
            ::RemovePropW(m_hWnd, m_strInstanceTag.c_str());
            return FALSE;
        default:
            if (nMessage == m_nTaskbarCreated && m_nTaskbarCreated != 0) {
                // A new notification area knows nothing of the icon: add it again.
                m_bTrayAdded = false;
                AddTrayIcon();
                return TRUE;
            }
            return FALSE;
    }
}

void CConfigDlg::OnInitDialog() {
    ::SetPropW(m_hWnd, m_strInstanceTag.c_str(), reinterpret_cast<HANDLE>(1));
    if (HMENU hMenu = ::GetSystemMenu(m_hWnd, FALSE)) {
        wchar_t szAbout[64];
        if (::LoadStringW(m_hInstance, IDS_ABOUTBOX, szAbout,
                          static_cast<int>(std::size(szAbout))) > 0) {
            ::AppendMenuW(hMenu, MF_SEPARATOR, 0, nullptr);
            ::AppendMenuW(hMenu, MF_STRING, IDM_ABOUTBOX, szAbout);
        }
    }
    for (const wchar_t* pszChoice : kServerTlsChoices) {
        ::SendDlgItemMessageW(m_hWnd, IDC_SERVER_TLS, CB_ADDSTRING, 0,
                              reinterpret_cast<LPARAM>(pszChoice));
    }
    ::SendMessageW(m_hWnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
    ::SendMessageW(m_hWnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_hIconSmall));

    m_nid.cbSize = sizeof(m_nid);
    m_nid.hWnd = m_hWnd;
    m_nid.uID = TRAY_ICON_ID;
    m_nid.uCallbackMessage = WM_TRAY_NOTIFY;
    m_nid.hIcon = m_hIconIdle;
    CopyTip(m_nid, CConfigLogic::kStartTip);
    bool bTray = AddTrayIcon();
    m_logic.OnInitDialog();
    if (!bTray) {
        // Without a notification area the hidden dialog could be neither reached nor quit.
        OnTrayRestore();
    }
}

bool CConfigDlg::AddTrayIcon() {
    m_nid.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    m_bTrayAdded = ::Shell_NotifyIconW(NIM_ADD, &m_nid) != FALSE;
    return m_bTrayAdded;
}

void CConfigDlg::OnCommand(UINT nId, UINT nCode) {
    switch (nId) {
        case IDC_HOST:
        case IDC_HOST_PORT:
        case IDC_LOCAL_PORT:
            // Only the user's edits make the form dirty, never the text written here.
            if (nCode == EN_CHANGE && !m_bWritingFields) {
                m_logic.OnFieldChange();
            }
            break;
        case IDC_ANSWER_CAPA:
        case IDC_ACCEPT_OTHERS:
            if (nCode == BN_CLICKED) {
                m_logic.OnFieldChange();
            }
            break;
        case IDC_SERVER_TLS:
            // Sent for the user's choice only, never for CB_SETCURSEL.
            if (nCode == CBN_SELCHANGE) {
                m_logic.OnServerTlsChange();
            }
            break;
        case IDC_ABOUT:
            OnAbout();
            break;
        case IDC_APPLY:
            m_logic.OnApply();
            break;
        case IDC_CLOSE:
            m_logic.OnCloseButton();
            break;
        case IDC_QUIT:
            m_logic.OnQuit();
            break;
        case ID_TRAY_RESTORE:
            OnTrayRestore();
            break;
        case ID_TRAY_ABOUT:
            OnTrayAbout();
            break;
        case ID_TRAY_EXIT:
            OnTrayExit();
            break;
        default:
            // IDOK and IDCANCEL, from Enter and Escape: the dialog ends only through
            // a confirmed quit.
            break;
    }
}

bool CConfigDlg::OnSysCommand(UINT nId) {
    if (nId == IDM_ABOUTBOX) {
        OnAbout();
        return true;
    }
    if (nId == SC_CLOSE) {
        m_logic.OnQuit();
        return true;
    }
    return false;
}

void CConfigDlg::OnTrayNotify(WPARAM wParam, LPARAM lParam) {
    if (wParam != TRAY_ICON_ID) {
        return;
    }
    if (lParam == WM_LBUTTONDBLCLK) {
        OnTrayRestore();
    } else if (lParam == WM_RBUTTONDOWN) {
        HMENU hMenu = ::CreatePopupMenu();
        if (hMenu == nullptr) {
            return;
        }
        ::AppendMenuW(hMenu, MF_STRING, ID_TRAY_RESTORE, L"Restore");
        ::AppendMenuW(hMenu, MF_STRING, ID_TRAY_ABOUT, L"About");
        ::AppendMenuW(hMenu, MF_STRING, ID_TRAY_EXIT, L"Exit");
        POINT pt;
        ::GetCursorPos(&pt);
        ::SetMenuDefaultItem(hMenu, 0, TRUE);
        // Without the foreground the menu would not close when clicked beside.
        ::SetForegroundWindow(m_hWnd);
        ::TrackPopupMenu(hMenu, TPM_LEFTALIGN | TPM_RIGHTBUTTON, pt.x, pt.y, 0, m_hWnd, nullptr);
        ::PostMessageW(m_hWnd, WM_NULL, 0, 0);
        ::DestroyMenu(hMenu);
    }
}

void CConfigDlg::OnTrayRestore() {
    if (!m_bPlaced) {
        CentreWindow(m_hWnd, nullptr);
        m_bPlaced = true;
    }
    ::ShowWindow(m_hWnd, ::IsIconic(m_hWnd) ? SW_RESTORE : SW_SHOW);
    ::SetForegroundWindow(m_hWnd);
    RaiseOpenBox();
}

// While a box waits for an answer, About and Exit bring it forward instead of
// stacking a second one on it.
void CConfigDlg::OnTrayAbout() {
    if (!RaiseOpenBox()) {
        OnAbout();
    }
}

void CConfigDlg::OnTrayExit() {
    if (!RaiseOpenBox()) {
        m_logic.OnQuit();
    }
}

bool CConfigDlg::RaiseOpenBox() {
    // A modal box owned by the dialog disables it while it waits.
    if (::IsWindowEnabled(m_hWnd)) {
        return false;
    }
    // The box is the visible, enabled window the dialog owns (hidden ones, such
    // as the input method's, are not boxes). GetWindow(GW_ENABLEDPOPUP)
    // finds nothing under wine, and GetLastActivePopup only a box that was
    // active once, which a box shown while another program has the foreground is not.
    struct Search {
        HWND hOwner;
        HWND hBox;
    } search{m_hWnd, nullptr};
    ::EnumThreadWindows(
        ::GetCurrentThreadId(),
        [](HWND hWnd, LPARAM lParam) -> BOOL {
            auto* pSearch = reinterpret_cast<Search*>(lParam);
            if (::GetWindow(hWnd, GW_OWNER) == pSearch->hOwner && ::IsWindowVisible(hWnd) &&
                ::IsWindowEnabled(hWnd)) {
                pSearch->hBox = hWnd;
                return FALSE;
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    if (search.hBox == nullptr) {
        return false;
    }
    ::ShowWindow(search.hBox, SW_SHOWNORMAL);
    ::SetForegroundWindow(search.hBox);
    return true;
}

void CConfigDlg::OnAbout() {
    CAboutDlg::DoModal(m_hInstance, m_hWnd);
}

void CConfigDlg::ReadFields(SettingValues& fields) {
    fields.Set(setting::kHostName, Narrow(GetItemText(m_hWnd, IDC_HOST)));
    fields.Set(setting::kHostPort, Narrow(GetItemText(m_hWnd, IDC_HOST_PORT)));
    fields.Set(setting::kLocalPort, Narrow(GetItemText(m_hWnd, IDC_LOCAL_PORT)));
    fields.Set(setting::kAnswerCapa,
               ::IsDlgButtonChecked(m_hWnd, IDC_ANSWER_CAPA) == BST_CHECKED ? "1" : "0");
    LRESULT nChoice = ::SendDlgItemMessageW(m_hWnd, IDC_SERVER_TLS, CB_GETCURSEL, 0, 0);
    fields.Set(setting::kServerTls, std::to_string(nChoice == CB_ERR ? 0 : nChoice));
    CConfigLogic::SetAcceptsOtherComputers(
        fields, ::IsDlgButtonChecked(m_hWnd, IDC_ACCEPT_OTHERS) == BST_CHECKED);
}

void CConfigDlg::WriteFields(const SettingValues& fields) {
    m_bWritingFields = true;
    ::SetDlgItemTextW(m_hWnd, IDC_HOST, Widen(fields.Get(setting::kHostName)).c_str());
    ::SetDlgItemTextW(m_hWnd, IDC_HOST_PORT, Widen(fields.Get(setting::kHostPort)).c_str());
    ::SetDlgItemTextW(m_hWnd, IDC_LOCAL_PORT, Widen(fields.Get(setting::kLocalPort)).c_str());
    ::CheckDlgButton(m_hWnd, IDC_ANSWER_CAPA,
                     fields.GetInt(setting::kAnswerCapa) != 0 ? BST_CHECKED : BST_UNCHECKED);
    int nChoice = std::clamp(fields.GetInt(setting::kServerTls), 0,
                             static_cast<int>(std::size(kServerTlsChoices)) - 1);
    ::SendDlgItemMessageW(m_hWnd, IDC_SERVER_TLS, CB_SETCURSEL, static_cast<WPARAM>(nChoice), 0);
    ::CheckDlgButton(m_hWnd, IDC_ACCEPT_OTHERS,
                     CConfigLogic::AcceptsOtherComputers(fields) ? BST_CHECKED : BST_UNCHECKED);
    m_bWritingFields = false;
}

bool CConfigDlg::Ask(const std::string& strText, Question question) {
    UINT nType = question == Question::YesNo      ? MB_YESNO | MB_ICONQUESTION
                 : question == Question::OkCancel ? MB_OKCANCEL | MB_ICONEXCLAMATION
                                                  : MB_OK | MB_ICONEXCLAMATION;
    // Its own foreground: asked from the tray menu, the dialog may be hidden.
    int nAnswer = ::MessageBoxW(m_hWnd, Widen(strText).c_str(),
                                Widen(CConfigLogic::kCaption).c_str(), nType | MB_SETFOREGROUND);
    return nAnswer == IDYES || nAnswer == IDOK;
}

void CConfigDlg::ShowReport(const std::string& strText) {
    if (m_hWnd == nullptr) {
        return;  // ended: no window left to own the box
    }
    m_strReport = Widen(strText);
    if (m_hReportBox != nullptr) {
        SetMessageBoxText(m_hReportBox, m_strReport);
    } else if (!m_bReportPosted && !m_bReportShown) {
        m_bReportPosted = true;
        ::PostMessageW(m_hWnd, WM_SHOW_REPORT, 0, 0);
    }
}

void CConfigDlg::OfferTrust(const std::string& strText, const std::string& strFingerprint) {
    if (m_hWnd == nullptr) {
        return;
    }
    m_offers.push_back({strText, strFingerprint});
    ::PostMessageW(m_hWnd, WM_SHOW_OFFERS, 0, 0);
}

void CConfigDlg::OnShowReport() {
    m_bReportPosted = false;
    if (m_bReportShown) {
        return;
    }
    m_bReportShown = true;
    // The box is known from its making on, so reports that come while it is
    // open change its text; the text it starts with has the reports that came
    // since this was posted.
    m_hReportBox = nullptr;
    g_phCatchBox = &m_hReportBox;
    HHOOK hHook = ::SetWindowsHookExW(WH_CBT, CatchMessageBox, nullptr, ::GetCurrentThreadId());
    // Owned by the dialog, so it is never hidden behind it.
    ::MessageBoxW(m_hWnd, m_strReport.c_str(), Widen(CConfigLogic::kCaption).c_str(),
                  MB_OK | MB_SETFOREGROUND);
    if (hHook != nullptr) {
        ::UnhookWindowsHookEx(hHook);
    }
    g_phCatchBox = nullptr;
    m_hReportBox = nullptr;
    m_bReportShown = false;
    m_logic.OnReportClosed();
}

void CConfigDlg::OnShowOffers() {
    if (m_bOfferShown) {
        return;  // the open box takes the next one when it closes
    }
    m_bOfferShown = true;
    while (!m_offers.empty()) {
        TrustOffer offer = std::move(m_offers.front());
        m_offers.pop_front();
        // Owned by the dialog, so it is never hidden behind it; No is the default.
        if (::MessageBoxW(m_hWnd, Widen(offer.strText).c_str(),
                          Widen(CConfigLogic::kCaption).c_str(),
                          MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2 | MB_SETFOREGROUND) == IDYES) {
            m_logic.OnTrustCertificate(offer.strFingerprint);
        }
    }
    m_bOfferShown = false;
}

bool CConfigDlg::ShowTrayMessage(const std::string& strTitle, const std::string& strText) {
    if (!m_bTrayAdded) {
        return false;
    }
    NOTIFYICONDATAW nid = m_nid;
    nid.uFlags = NIF_INFO;
    ::lstrcpynW(nid.szInfoTitle, Widen(strTitle).c_str(),
                static_cast<int>(std::size(nid.szInfoTitle)));
    ::lstrcpynW(nid.szInfo, Widen(strText).c_str(), static_cast<int>(std::size(nid.szInfo)));
    nid.dwInfoFlags = NIIF_INFO;
    return ::Shell_NotifyIconW(NIM_MODIFY, &nid) != FALSE;
}

void CConfigDlg::SetTrayIcon(TrayIcon icon) {
    m_nid.uFlags = NIF_ICON;
    m_nid.hIcon = icon == TrayIcon::Active         ? m_hIconActive
                  : icon == TrayIcon::NotListening ? m_hIconNotListening
                                                   : m_hIconIdle;
    ::Shell_NotifyIconW(NIM_MODIFY, &m_nid);
}

void CConfigDlg::SetTrayTip(const std::string& strTip) {
    m_nid.uFlags = NIF_TIP;
    CopyTip(m_nid, strTip);
    ::Shell_NotifyIconW(NIM_MODIFY, &m_nid);
}

void CConfigDlg::HideDialog() {
    // Hidden without a tray icon, it could be neither reached nor quit.
    ::ShowWindow(m_hWnd, m_bTrayAdded ? SW_HIDE : SW_MINIMIZE);
}

void CConfigDlg::EndDialog() {
    ::Shell_NotifyIconW(NIM_DELETE, &m_nid);
    m_bTrayAdded = false;
    ::DestroyWindow(m_hWnd);
    m_hWnd = nullptr;
    ::PostQuitMessage(0);
}
