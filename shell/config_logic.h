#pragma once

#include <set>
#include <string>

#include "notice.h"
#include "settings_store.h"

class CListenSocket;

// The three settings and the capability-query switch, as the form shows them.
struct CConfigFields {
    std::string strHostName;
    std::string strHostPort;
    std::string strLocalPort;
    bool bAnswerCapa = false;
};

// What the configuration dialog's behaviour needs of the window that draws it:
// the Qt dialog on Linux, the Win32 dialog on Windows.
class IConfigShell {
public:
    enum class Question { YesNo, OkCancel };

    // UpdateData: the controls into the fields, or the fields into the controls.
    virtual void ReadFields(CConfigFields& fields) = 0;
    virtual void WriteFields(const CConfigFields& fields) = 0;
    // Asks in a box captioned "Postern" and waits; true for Yes or OK.
    virtual bool Ask(const std::string& strText, Question question) = 0;
    // Shows a message with an OK button; must not wait for the user.
    virtual void Report(const std::string& strText) = 0;
    // Tells the user something from the tray icon; false when there is none.
    virtual bool ShowTrayMessage(const std::string& strTitle, const std::string& strText) = 0;
    virtual void SetTrayIcon(bool bActive) = 0;
    virtual void SetTrayTip(const std::string& strTip) = 0;
    // Hides the dialog (the tray icon is the way back) or shows it in front.
    virtual void HideDialog() = 0;
    // Removes the tray icon and ends the program.
    virtual void EndDialog() = 0;

protected:
    ~IConfigShell() = default;
};

// The configuration dialog's behaviour, written once for every shell: the
// dirty flag, the apply and quit questions, the listener and its restart at
// Apply, the session count and the tip that tells it, and the receiver of the
// proxy's notices (g_hMainWnd).
class CConfigLogic : public CNoticeWnd {
public:
    static constexpr char kCaption[] = "Postern";
    static constexpr char kApplyQuestion[] = "Apply your changes ?";
    static constexpr char kQuitQuestion[] = "This will terminate Postern appication";
    static constexpr char kIdleTip[] = "No connection";
    static constexpr char kCapaHint[] =
        "A mail client asked for capabilities and was disconnected; turn on "
        "'Answer capability queries' in Postern's configuration.";

    CConfigLogic(IConfigShell& shell, CSettingsStore store);
    ~CConfigLogic();
    CConfigLogic(const CConfigLogic&) = delete;
    CConfigLogic& operator=(const CConfigLogic&) = delete;

    // Loads the settings, starts the listener, sets the tip, and last makes
    // this the receiver of the proxy's notices.
    void OnInitDialog();

    void OnApply();
    void OnCloseButton();
    // The quit question; true when the program is ending.
    bool OnQuit();
    void OnFieldChange() { m_bDirty = true; }

    LRESULT OnSessionNotify(WPARAM wParam, LPARAM lParam) override;
    void OnReport(const std::string& strText) override;
    void OnCapaRefused() override;

    int GetSessions() const { return m_nSessions; }
    bool IsDirty() const { return m_bDirty; }
    CListenSocket* GetListener() const { return m_pListenSocket; }
    const std::set<LPARAM>& GetCountedSessions() const { return m_setCounted; }
    std::string GetTip() const;

private:
    bool LoadSettings();
    bool SaveSettings();
    void StartListener();
    void PromptApplyChanges();

    IConfigShell& m_shell;
    CSettingsStore m_store;
    CConfigFields m_fields;
    int m_nSessions = 0;
    bool m_bDirty = false;
    bool m_bCapaHintShown = false;  // once per run
    // Why the listener is not listening; empty while it is.
    std::string m_strListenError;
    CListenSocket* m_pListenSocket = nullptr;
    // The sessions of the current listener that have been counted, so a
    // session's end is counted once however many notices it posts.
    std::set<LPARAM> m_setCounted;
};
