#include "tray_icon.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusReply>
#include <QDBusVariant>
#include <QGuiApplication>

#ifdef POSTERN_HAVE_XCB
#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>
#endif

namespace {

constexpr int kFollowMs = 1000;
constexpr int kBusTimeoutMs = 500;

bool HasStatusNotifierHost() {
    // One round trip, bounded: this runs every second.
    const QString strWatcher = QStringLiteral("org.kde.StatusNotifierWatcher");
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        return false;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(
        strWatcher, QStringLiteral("/StatusNotifierWatcher"),
        QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    call << strWatcher << QStringLiteral("IsStatusNotifierHostRegistered");
    QDBusReply<QDBusVariant> reply = bus.call(call, QDBus::Block, kBusTimeoutMs);
    return reply.isValid() && reply.value().variant().toBool();
}

// Whether an XEmbed tray owns the screen's tray selection.
bool HasXEmbedTray() {
#ifdef POSTERN_HAVE_XCB
    auto* pX11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    if (pX11 == nullptr) {
        return false;
    }
    xcb_connection_t* pConnection = pX11->connection();
    static xcb_atom_t atomSelection = XCB_NONE;
    if (atomSelection == XCB_NONE) {
        // The selection of the screen that DISPLAY names (":0.1" is screen 1).
        QByteArray name = "_NET_SYSTEM_TRAY_S0";
        if (const char* pszDisplay = std::getenv("DISPLAY"); pszDisplay != nullptr) {
            if (const char* pszDot = std::strrchr(pszDisplay, '.');
                pszDot != nullptr && std::strchr(pszDot, ':') == nullptr) {
                name = "_NET_SYSTEM_TRAY_S" + QByteArray(pszDot + 1);
            }
        }
        xcb_intern_atom_reply_t* pAtom = xcb_intern_atom_reply(
            pConnection, xcb_intern_atom(pConnection, 0, name.size(), name.constData()), nullptr);
        if (pAtom == nullptr) {
            return false;
        }
        atomSelection = pAtom->atom;
        std::free(pAtom);
    }
    xcb_get_selection_owner_reply_t* pOwner = xcb_get_selection_owner_reply(
        pConnection, xcb_get_selection_owner(pConnection, atomSelection), nullptr);
    bool bOwned = pOwner != nullptr && pOwner->owner != XCB_NONE;
    std::free(pOwner);
    return bOwned;
#else
    return false;
#endif
}

// Qt decides once per process, at its first look, whether icons go to a
// StatusNotifier host or to an XEmbed tray. Postern looks for a status area
// itself and asks Qt only once there is one, so that first look sees it.
bool g_bQtHasLooked = false;
bool g_bStatusNotifier = false;

}  // namespace

CTrayIcon::CTrayIcon() {
    m_timerFollow.setInterval(kFollowMs);
    connect(&m_timerFollow, &QTimer::timeout, this, &CTrayIcon::Follow);
}

CTrayIcon::~CTrayIcon() = default;

bool CTrayIcon::IsAvailable() const {
    if (QGuiApplication::platformName() == QLatin1String("xcb")) {
        bool bStatusNotifier = HasStatusNotifierHost();
        if (!bStatusNotifier && !HasXEmbedTray()) {
            return false;
        }
        if (!g_bQtHasLooked) {
            g_bQtHasLooked = true;
            g_bStatusNotifier = bStatusNotifier;
        }
    }
    return QSystemTrayIcon::isSystemTrayAvailable();
}

bool CTrayIcon::IsClickToOpen() const {
    return QGuiApplication::platformName() != QLatin1String("xcb") || g_bStatusNotifier;
}

void CTrayIcon::Add(const QIcon& icon, const QString& strTip, QMenu* pMenu) {
    if (m_bAdded) {
        return;
    }
    m_bAdded = true;
    m_icon = icon;
    m_strTip = strTip;
    m_pMenu = pMenu;
    Follow();
    m_timerFollow.start();
}

void CTrayIcon::Modify(const QIcon& icon) {
    m_icon = icon;
    if (m_pIcon) {
        m_pIcon->setIcon(icon);
    }
}

void CTrayIcon::SetTip(const QString& strTip) {
    m_strTip = strTip;
    if (m_pIcon) {
        m_pIcon->setToolTip(strTip);
    }
}

void CTrayIcon::Delete() {
    m_timerFollow.stop();
    m_bAdded = false;
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

// Puts the icon into a status area that has appeared and drops it when the
// area goes; a new icon each time, so it goes to whatever kind of area is there.
void CTrayIcon::Follow() {
    bool bAvailable = IsAvailable();
    if (bAvailable == m_bShown) {
        return;
    }
    m_bShown = bAvailable;
    if (bAvailable) {
        m_pIcon = std::make_unique<QSystemTrayIcon>(m_icon);
        m_pIcon->setToolTip(m_strTip);
        m_pIcon->setContextMenu(m_pMenu);
        connect(m_pIcon.get(), &QSystemTrayIcon::activated, this, &CTrayIcon::Activated);
        m_pIcon->show();
    } else {
        m_pIcon->hide();
        m_pIcon.reset();
    }
    emit AvailabilityChanged(bAvailable);
}
