#include "tray_icon.h"

CTrayIcon::CTrayIcon() = default;

CTrayIcon::~CTrayIcon() = default;

bool CTrayIcon::IsAvailable() const {
    return QSystemTrayIcon::isSystemTrayAvailable();
}

void CTrayIcon::Add(const QIcon& icon, const QString& strTip, QMenu* pMenu) {
    if (m_pIcon) {
        return;
    }
    m_pIcon = std::make_unique<QSystemTrayIcon>(icon);
    m_pIcon->setToolTip(strTip);
    m_pIcon->setContextMenu(pMenu);
    connect(m_pIcon.get(), &QSystemTrayIcon::activated, this, &CTrayIcon::Activated);
    m_pIcon->show();
}

void CTrayIcon::Modify(const QIcon& icon) {
    if (m_pIcon) {
        m_pIcon->setIcon(icon);
    }
}

void CTrayIcon::Delete() {
    if (m_pIcon) {
        m_pIcon->hide();
        m_pIcon.reset();
    }
}

void CTrayIcon::ShowMessage(const QString& strTitle, const QString& strText) {
    if (m_pIcon) {
        m_pIcon->showMessage(strTitle, strText, QSystemTrayIcon::Information);
    }
}
