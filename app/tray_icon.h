#pragma once

#include <QIcon>
#include <QObject>
#include <QSystemTrayIcon>
#include <memory>

class QMenu;

// The icon in the desktop's status area: added once, its picture changed, removed
// once, as the Windows notification area is driven. Tests replace it to watch the
// changes where the desktop has no status area.
class CTrayIcon : public QObject {
    Q_OBJECT

public:
    CTrayIcon();
    ~CTrayIcon() override;

    // Whether the desktop has a status-icon service now.
    virtual bool IsAvailable() const;
    virtual void Add(const QIcon& icon, const QString& strTip, QMenu* pMenu);
    virtual void Modify(const QIcon& icon);
    virtual void Delete();
    // A notification from the icon, for something the user should know of.
    virtual void ShowMessage(const QString& strTitle, const QString& strText);

signals:
    void Activated(QSystemTrayIcon::ActivationReason reason);

private:
    std::unique_ptr<QSystemTrayIcon> m_pIcon;
};
