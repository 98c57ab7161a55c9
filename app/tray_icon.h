#pragma once

#include <QIcon>
#include <QObject>
#include <QSystemTrayIcon>
#include <QTimer>
#include <memory>

class QMenu;

// The icon in the desktop's status area: added once, its picture and tip changed,
// removed once, as the Windows notification area is driven. On Linux the status
// area may come after the program (started at login before the panel) or go
// away; the icon follows it, and AvailabilityChanged tells the owner. Tests
// replace it to watch the changes where the desktop has no status area.
class CTrayIcon : public QObject {
    Q_OBJECT

public:
    CTrayIcon();
    ~CTrayIcon() override;

    // Whether the desktop has a status area now.
    virtual bool IsAvailable() const;
    // Whether a single click (activation) is the way to open the program: true
    // on StatusNotifier hosts, which never report a double click.
    virtual bool IsClickToOpen() const;
    virtual void Add(const QIcon& icon, const QString& strTip, QMenu* pMenu);
    virtual void Modify(const QIcon& icon);
    virtual void SetTip(const QString& strTip);
    virtual void Delete();
    // A notification from the icon, for something the user should know of.
    virtual void ShowMessage(const QString& strTitle, const QString& strText);

signals:
    void Activated(QSystemTrayIcon::ActivationReason reason);
    void AvailabilityChanged(bool bAvailable);

private:
    void Follow();

    QIcon m_icon;
    QString m_strTip;
    QMenu* m_pMenu = nullptr;
    bool m_bAdded = false;
    bool m_bShown = false;
    QTimer m_timerFollow;
    std::unique_ptr<QSystemTrayIcon> m_pIcon;
};
