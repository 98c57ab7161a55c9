#pragma once

#include <string>

#include "proxy_config.h"
#include "proxy_runner.h"
#include "settings_store.h"

// What the configuration dialog's behaviour needs of the window that draws it:
// the Qt dialog on Linux, the Win32 dialog on Windows.
class IConfigShell {
public:
    enum class Question { YesNo, OkCancel };

    // UpdateData: the controls into the fields (every setting of the table, a
    // check box as "1" or "0"), or the fields into the controls.
    virtual void ReadFields(SettingValues& fields) = 0;
    virtual void WriteFields(const SettingValues& fields) = 0;
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

// The configuration dialog's behaviour, written once for both tray apps: the
// form's fields and their dirty flag, the apply and quit questions, and the
// proxy run with what was applied (CProxyRunner), shown on the tray icon.
class CConfigLogic : private IRunnerEvents {
public:
    static constexpr char kCaption[] = "Postern";
    static constexpr char kApplyQuestion[] = "Apply your changes ?";
    static constexpr char kQuitQuestion[] = "This will terminate Postern appication";
    static constexpr const char* kIdleTip = CProxyRunner::kIdleTip;
    static constexpr char kCapaHint[] =
        "A mail client asked for capabilities and was disconnected; turn on "
        "'Answer capability queries' in Postern's configuration.";

    CConfigLogic(IConfigShell& shell, CSettingsStore store);
    CConfigLogic(const CConfigLogic&) = delete;
    CConfigLogic& operator=(const CConfigLogic&) = delete;

    // Loads the settings into the form and runs the proxy with them.
    void OnInitDialog();

    void OnApply();
    void OnCloseButton();
    // The quit question; true when the program is ending.
    bool OnQuit();
    void OnFieldChange() { m_bDirty = true; }

    bool IsDirty() const { return m_bDirty; }
    CProxyRunner& GetRunner() { return m_runner; }

private:
    void LoadSettings();
    void SaveSettings();
    void StartListener();
    void PromptApplyChanges();

    void OnActiveChanged(bool bActive) override { m_shell.SetTrayIcon(bActive); }
    void OnTipChanged(const std::string& strTip) override { m_shell.SetTrayTip(strTip); }
    void OnReport(const std::string& strText) override { m_shell.Report(strText); }
    void OnCapaHint() override;

    IConfigShell& m_shell;
    CSettingsStore m_store;
    SettingValues m_fields;
    bool m_bDirty = false;
    // Last: it ends the sessions, which may still report to the shell.
    CProxyRunner m_runner;
};
