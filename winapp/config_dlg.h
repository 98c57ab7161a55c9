#pragma once

#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include <deque>
#include <string>

#include "config_logic.h"

// The program's one window on Windows: the IDD_CONFIG dialog, the owner of the
// tray icon, and the window a second start asks to show itself. It draws;
// CConfigLogic does the rest. It starts hidden and lives until a confirmed quit,
// which ends the message loop.
class CConfigDlg : private IConfigShell {
public:
    static constexpr UINT WM_TRAY_NOTIFY = 0x8002;
    static constexpr UINT TRAY_ICON_ID = 10231;

    CConfigDlg(HINSTANCE hInstance, CSettingsStore store);
    ~CConfigDlg();
    CConfigDlg(const CConfigDlg&) = delete;
    CConfigDlg& operator=(const CConfigDlg&) = delete;

    // Creates the hidden dialog, the tray icon and the listener. A window
    // property named strInstanceTag marks it for FindRunning.
    bool Create(const std::wstring& strInstanceTag);
    HWND GetSafeHwnd() const { return m_hWnd; }

    // The dialog of the program already running under that tag, or null.
    static HWND FindRunning(const std::wstring& strInstanceTag);

private:
    static INT_PTR CALLBACK DialogProc(HWND hDlg, UINT nMessage, WPARAM wParam, LPARAM lParam);
    INT_PTR OnMessage(UINT nMessage, WPARAM wParam, LPARAM lParam);

    void ReadFields(SettingValues& fields) override;
    void WriteFields(const SettingValues& fields) override;
    bool Ask(const std::string& strText, Question question) override;
    void ShowReport(const std::string& strText) override;
    void OfferTrust(const std::string& strText, const std::string& strFingerprint) override;
    bool ShowTrayMessage(const std::string& strTitle, const std::string& strText) override;
    void SetTrayIcon(TrayIcon icon) override;
    void SetTrayTip(const std::string& strTip) override;
    void ShowDialog() override { OnTrayRestore(); }
    void HideDialog() override;
    void EndDialog() override;

    void OnInitDialog();
    void OnCommand(UINT nId, UINT nCode);
    bool OnSysCommand(UINT nId);
    void OnTrayNotify(WPARAM wParam, LPARAM lParam);
    void OnTrayRestore();
    void OnTrayAbout();
    void OnTrayExit();
    void OnAbout();
    void OnShowReport();
    void OnShowOffers();
    bool AddTrayIcon();
    // Brings forward the question or About box that is waiting for an answer.
    bool RaiseOpenBox();

    HINSTANCE m_hInstance;
    HWND m_hWnd = nullptr;
    HICON m_hIcon;
    HICON m_hIconSmall;
    HICON m_hIconIdle;
    HICON m_hIconActive;
    HICON m_hIconNotListening;
    NOTIFYICONDATAW m_nid{};
    bool m_bTrayAdded = false;
    bool m_bPlaced = false;  // centred once, at the first showing
    bool m_bWritingFields = false;
    UINT m_nTaskbarCreated;
    std::wstring m_strInstanceTag;
    // The report box: the text it shows, and the box itself while it is open.
    std::wstring m_strReport;
    bool m_bReportPosted = false;
    bool m_bReportShown = false;
    HWND m_hReportBox = nullptr;
    // Offers to trust a certificate, shown one after another as they come.
    struct TrustOffer {
        std::string strText;
        std::string strFingerprint;
    };
    std::deque<TrustOffer> m_offers;
    bool m_bOfferShown = false;
    CConfigLogic m_logic;
};
