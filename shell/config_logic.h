#pragma once

#include <chrono>
#include <string>

#include "proxy_config.h"
#include "proxy_runner.h"
#include "settings_store.h"

// What the configuration dialog's behaviour needs of the window that draws it:
// the Qt dialog on Linux, the Win32 dialog on Windows.
class IConfigShell {
public:
    // Ok: a message that waits for its OK button; Ask returns true then.
    enum class Question { YesNo, OkCancel, Ok };
    enum class TrayIcon { Idle, Active, NotListening };

    // UpdateData: the controls into the fields (every setting of the table, a
    // check box as "1" or "0"), or the fields into the controls. The box
    // "Accept mail clients from other computers" goes through
    // CConfigLogic::AcceptsOtherComputers and SetAcceptsOtherComputers.
    virtual void ReadFields(SettingValues& fields) = 0;
    virtual void WriteFields(const SettingValues& fields) = 0;
    // Asks in a box captioned "Postern" and waits; true for Yes or OK.
    virtual bool Ask(const std::string& strText, Question question) = 0;
    // Shows the text in the one report box, with an OK button: opens it, or
    // changes the text of the one open. Must not wait for the user; when the
    // user closes the box, the shell calls CConfigLogic::OnReportClosed.
    virtual void ShowReport(const std::string& strText) = 0;
    // Shows the question with Yes and No, No the default; must not wait for the
    // user. On Yes the shell calls CConfigLogic::OnTrustCertificate(strFingerprint).
    virtual void OfferTrust(const std::string& strText, const std::string& strFingerprint) = 0;
    // Tells the user something from the tray icon; false when there is none.
    virtual bool ShowTrayMessage(const std::string& strTitle, const std::string& strText) = 0;
    virtual void SetTrayIcon(TrayIcon icon) = 0;
    virtual void SetTrayTip(const std::string& strTip) = 0;
    // Shows the dialog in front.
    virtual void ShowDialog() = 0;
    // Hides the dialog (the tray icon is the way back).
    virtual void HideDialog() = 0;
    // Removes the tray icon and ends the program.
    virtual void EndDialog() = 0;

protected:
    ~IConfigShell() = default;
};

// The configuration dialog's behaviour, written once for both tray apps: the
// form's fields and their dirty flag, the apply and quit questions, the proxy
// run with what was applied (CProxyRunner), shown on the tray icon, and its
// reports in one box at a time.
class CConfigLogic : private IRunnerEvents {
public:
    static constexpr char kCaption[] = "Postern";
    static constexpr char kApplyQuestion[] = "Apply your changes ?";
    static constexpr char kQuitQuestion[] = "This will terminate Postern appication";
    // The tip until the settings are loaded.
    static constexpr char kStartTip[] = "Postern";
    static constexpr char kTrustQuestion[] =
        "Trust this certificate from now on? Answer Yes only if you know it is your "
        "server's own.";
    static constexpr char kCapaHint[] =
        "A mail client asked for capabilities and was disconnected; turn on "
        "'Answer capability queries' in Postern's configuration.";

    CConfigLogic(IConfigShell& shell, CSettingsStore store);
    CConfigLogic(const CConfigLogic&) = delete;
    CConfigLogic& operator=(const CConfigLogic&) = delete;

    // Loads the settings into the form and runs the proxy with them; shows
    // the dialog when no server is set, so a new user sees where to begin.
    void OnInitDialog();

    void OnApply();
    void OnCloseButton();
    // The quit question; true when the program is ending.
    bool OnQuit();
    void OnFieldChange() { m_bDirty = true; }
    void OnReportClosed() { m_bReportOpen = false; }
    // The user chose how the server is reached: a port left at the other
    // choice's standard one follows, as mail clients do.
    void OnServerTlsChange();
    // Yes to a trust offer: the fingerprint is stored and the listener restarts
    // with the applied settings; edits not applied stay in the form, unapplied.
    void OnTrustCertificate(const std::string& strFingerprint);

    // The box "Accept mail clients from other computers" stands for the listen
    // address: checked, every interface; unchecked, loopback only (localhost).
    // An address set by hand shows as what it does, checked unless it is a
    // loopback one, and stays until the box is changed.
    static bool AcceptsOtherComputers(const SettingValues& fields);
    static void SetAcceptsOtherComputers(SettingValues& fields, bool bAccept);

    bool IsDirty() const { return m_bDirty; }
    bool HasServer() const { return !m_fields.Get(setting::kHostName).empty(); }
    CProxyRunner& GetRunner() { return m_runner; }

private:
    void LoadSettings();
    void SaveSettings();
    void StartListener();
    // False when a field fails its check: then nothing is saved or restarted.
    bool Apply();
    bool PromptApplyChanges();
    void UpdateTrayIcon(bool bActive);

    void OnActiveChanged(bool bActive) override { UpdateTrayIcon(bActive); }
    void OnTipChanged(const std::string& strTip) override;
    void OnReport(const std::string& strText) override;
    void OnCapaHint() override;
    void OnUntrustedCertificate(const std::string& strText,
                                const std::string& strFingerprint) override;

    IConfigShell& m_shell;
    CSettingsStore m_store;
    SettingValues m_fields;
    bool m_bDirty = false;
    bool m_bNotListeningShown = false;
    // The open report box: how many reports it has told since it opened, and
    // whether they were all the same.
    bool m_bReportOpen = false;
    int m_nReports = 0;
    bool m_bReportsAlike = true;
    std::string m_strFirstReport;
    std::chrono::system_clock::time_point m_timeFirstReport;
    // Last: it ends the sessions, which may still report to the shell.
    CProxyRunner m_runner;
};
