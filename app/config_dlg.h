#pragma once

#include <QDialog>
#include <QIcon>
#include <QMenu>
#include <QSystemTrayIcon>
#include <memory>

#include "config_logic.h"
#include "settings_store.h"

namespace Ui {
class CConfigDlg;
}
class CMessageBoxes;
class CTrayIcon;

// The program's one window on a Qt desktop: it draws the form for the settings
// and the tray icon; CConfigLogic does the rest. It starts hidden and lives
// until a confirmed quit, which ends the program.
class CConfigDlg : public QDialog, private IConfigShell {
    Q_OBJECT

public:
    // pMessageBoxes and pTrayIcon default to the real ones; tests pass their own.
    explicit CConfigDlg(CSettingsStore store, CMessageBoxes* pMessageBoxes = nullptr,
                        CTrayIcon* pTrayIcon = nullptr, QWidget* pParent = nullptr);
    ~CConfigDlg() override;

    // The start-up: tray icon, settings, listener, and last g_hMainWnd.
    bool OnInitDialog();

    void OnTrayNotify(QSystemTrayIcon::ActivationReason reason);
    void OnTrayAvailability(bool bAvailable);
    void OnTrayRestore();
    void OnTrayAbout();
    void OnTrayExit();

protected:
    void reject() override;
    void keyPressEvent(QKeyEvent* pEvent) override;
    void closeEvent(QCloseEvent* pEvent) override;
    void changeEvent(QEvent* pEvent) override;

private:
    friend class CConfigDlgTest;

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
    // Brings forward the question or About box that is waiting for an answer.
    bool RaiseOpenBox();
    void RaiseBoxes();

    void OnAbout();
    void OnQuit();

    QIcon m_hIcon;
    QIcon m_hIconIdle;
    QIcon m_hIconActive;
    QIcon m_hIconNotListening;
    std::unique_ptr<Ui::CConfigDlg> m_pUi;
    std::unique_ptr<CMessageBoxes> m_pOwnMessageBoxes;
    std::unique_ptr<CTrayIcon> m_pOwnTrayIcon;
    CMessageBoxes* m_pMessageBoxes;
    CTrayIcon* m_pTrayIcon;
    QMenu m_menuTray;
    // Last: it deletes the listener, whose sessions may still report to the shell.
    CConfigLogic m_logic;
};
