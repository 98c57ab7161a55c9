#pragma once

#include <QDialog>
#include <QIcon>
#include <QMenu>
#include <QSystemTrayIcon>
#include <memory>
#include <set>

#include "notice.h"
#include "settings_store.h"

namespace Ui {
class CConfigDlg;
}
class CListenSocket;
class CMessageBoxes;
class CTrayIcon;

// The program's one window: the form for the settings, the owner of the
// tray icon and of the listener, and the receiver of the proxy's notices. It
// starts hidden and lives until a confirmed quit, which ends the program.
class CConfigDlg : public QDialog, public CNoticeWnd {
    Q_OBJECT

public:
    // pMessageBoxes and pTrayIcon default to the real ones; tests pass their own.
    explicit CConfigDlg(CSettingsStore store, CMessageBoxes* pMessageBoxes = nullptr,
                        CTrayIcon* pTrayIcon = nullptr, QWidget* pParent = nullptr);
    ~CConfigDlg() override;

    // The start-up: tray icon, settings, listener, and last g_hMainWnd.
    bool OnInitDialog();

    LRESULT OnSessionNotify(WPARAM wParam, LPARAM lParam) override;
    void OnReport(const std::string& strText) override;
    void OnCapaRefused() override;

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
#ifdef Q_OS_WIN
    bool nativeEvent(const QByteArray& eventType, void* pMessage, qintptr* pResult) override;
#endif

private:
    friend class CConfigDlgTest;

    void UpdateData(bool bSaveAndValidate);
    bool LoadSettings();
    bool SaveSettings();
    void StartListener();
    void PromptApplyChanges();
    void SetTrayIcon(const QIcon& icon);
    void UpdateTip();
    // Brings forward the question or About box that is waiting for an answer.
    bool RaiseOpenBox();
    void RaiseBoxes();

    void OnAbout();
    void OnApply();
    void OnCloseButton();
    void OnQuit();
    void OnFieldChange();

    QString m_strHostName;
    QString m_strHostPort;
    QString m_strLocalPort;
    bool m_bAnswerCapa = false;
    QIcon m_hIcon;
    QIcon m_hIconIdle;
    QIcon m_hIconActive;
    int m_nSessions = 0;
    bool m_bDirty = false;
    bool m_bCapaHintShown = false;  // once per run
    // Why the listener is not listening; empty while it is.
    QString m_strListenError;
    CListenSocket* m_pListenSocket = nullptr;

    // The sessions of the current listener that have been counted, so a
    // session's end is counted once however many notices it posts.
    std::set<LPARAM> m_setCounted;
    CSettingsStore m_store;
    std::unique_ptr<Ui::CConfigDlg> m_pUi;
    std::unique_ptr<CMessageBoxes> m_pOwnMessageBoxes;
    std::unique_ptr<CTrayIcon> m_pOwnTrayIcon;
    CMessageBoxes* m_pMessageBoxes;
    CTrayIcon* m_pTrayIcon;
    QMenu m_menuTray;
};
