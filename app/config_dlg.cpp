#include "config_dlg.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "about_dlg.h"
#include "listen_socket.h"
#include "message_boxes.h"
#include "tray_icon.h"
#include "ui_config_dlg.h"

#ifdef Q_OS_WIN
#include <windows.h>
#endif

namespace {

constexpr char kTip[] = "No connection";
constexpr int kIconSizes[] = {16, 22, 24, 32, 48, 64};
constexpr char kApplyQuestion[] = "Apply your changes ?";
constexpr char kQuitQuestion[] = "This will terminate Postern appication";
constexpr char kCapaHint[] =
    "A mail client asked for capabilities and was disconnected; turn on "
    "'Answer capability queries' in Postern's configuration.";

#ifdef Q_OS_WIN
constexpr UINT IDM_ABOUTBOX = 0x0010;
constexpr wchar_t kAboutBoxItem[] = L"&About postern...";
#endif

QIcon LoadIcon(const QString& strName) {
    QIcon icon;
    for (int nSize : kIconSizes) {
        icon.addFile(QStringLiteral(":/icons/%1-%2.png").arg(strName).arg(nSize),
                     QSize(nSize, nSize));
    }
    return icon;
}

// A tray icon goes by its name where Postern is installed: StatusNotifier hosts
// then take the size they draw from the icon theme, instead of shrinking the
// largest picture sent to them.
QIcon LoadTrayIcon(const QString& strName) {
    return QIcon::fromTheme(QStringLiteral("postern-%1").arg(strName), LoadIcon(strName));
}

QString Text(const char* psz) {
    return QString::fromLatin1(psz);
}

}  // namespace

CConfigDlg::CConfigDlg(CSettingsStore store, CMessageBoxes* pMessageBoxes, CTrayIcon* pTrayIcon,
                       QWidget* pParent)
    // A normal window, not a dialog: task lists leave out dialogs that belong to
    // another window, and this one is the program's own window.
    : QDialog(pParent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint),
      m_hIcon(LoadIcon(QStringLiteral("postern"))),
      m_hIconIdle(LoadTrayIcon(QStringLiteral("idle"))),
      m_hIconActive(LoadTrayIcon(QStringLiteral("active"))),
      m_store(std::move(store)),
      m_pUi(std::make_unique<Ui::CConfigDlg>()),
      m_pMessageBoxes(pMessageBoxes),
      m_pTrayIcon(pTrayIcon) {
    if (m_pMessageBoxes == nullptr) {
        m_pOwnMessageBoxes = std::make_unique<CMessageBoxes>();
        m_pMessageBoxes = m_pOwnMessageBoxes.get();
    }
    if (m_pTrayIcon == nullptr) {
        m_pOwnTrayIcon = std::make_unique<CTrayIcon>();
        m_pTrayIcon = m_pOwnTrayIcon.get();
    }
    m_pUi->setupUi(this);
    // One column for the edit fields of both groups: the labels share one width.
    int nLabelWidth = 0;
    for (QLabel* pLabel : {m_pUi->labelHost, m_pUi->labelHostPort, m_pUi->labelLocalPort}) {
        nLabelWidth = std::max(nLabelWidth, pLabel->sizeHint().width());
    }
    for (QLabel* pLabel : {m_pUi->labelHost, m_pUi->labelHostPort, m_pUi->labelLocalPort}) {
        pLabel->setMinimumWidth(nLabelWidth);
    }

    connect(m_pUi->IDC_ABOUT, &QPushButton::clicked, this, &CConfigDlg::OnAbout);
    connect(m_pUi->IDC_QUIT, &QPushButton::clicked, this, &CConfigDlg::OnQuit);
    connect(m_pUi->IDC_CLOSE, &QPushButton::clicked, this, &CConfigDlg::OnCloseButton);
    connect(m_pUi->IDC_APPLY, &QPushButton::clicked, this, &CConfigDlg::OnApply);
    // textEdited, not textChanged: only the user's edits make the form dirty,
    // never the text that LoadSettings writes.
    for (QLineEdit* pEdit : {m_pUi->IDC_HOST, m_pUi->IDC_HOST_PORT, m_pUi->IDC_LOCAL_PORT}) {
        connect(pEdit, &QLineEdit::textEdited, this, &CConfigDlg::OnFieldChange);
    }
    connect(m_pUi->IDC_ANSWER_CAPA, &QCheckBox::clicked, this, &CConfigDlg::OnFieldChange);

    QAction* pRestore =
        m_menuTray.addAction(QStringLiteral("Restore"), this, &CConfigDlg::OnTrayRestore);
    m_menuTray.addAction(QStringLiteral("About"), this, &CConfigDlg::OnTrayAbout);
    m_menuTray.addAction(QStringLiteral("Exit"), this, &CConfigDlg::OnTrayExit);
    QFont fontDefault = pRestore->font();
    fontDefault.setBold(true);
    pRestore->setFont(fontDefault);
    m_menuTray.setDefaultAction(pRestore);
    connect(m_pTrayIcon, &CTrayIcon::Activated, this, &CConfigDlg::OnTrayNotify);
    connect(m_pTrayIcon, &CTrayIcon::AvailabilityChanged, this, &CConfigDlg::OnTrayAvailability);
}

CConfigDlg::~CConfigDlg() {
    if (g_hMainWnd == this) {
        g_hMainWnd = nullptr;
    }
    delete m_pListenSocket;
}

bool CConfigDlg::OnInitDialog() {
    UpdateData(false);
    // The dialog is never shown here: it stays hidden until restored from the tray,
    // and QDialog centres it on the screen the first time it is shown.
#ifdef Q_OS_WIN
    if (HMENU hMenu = ::GetSystemMenu(reinterpret_cast<HWND>(winId()), FALSE)) {
        ::AppendMenuW(hMenu, MF_SEPARATOR, 0, nullptr);
        ::AppendMenuW(hMenu, MF_STRING, IDM_ABOUTBOX, kAboutBoxItem);
    }
#endif
    setWindowIcon(m_hIcon);
    m_pTrayIcon->Add(m_hIconIdle, Text(kTip), &m_menuTray);
    LoadSettings();
    StartListener();
    UpdateTip();
    m_pUi->IDC_HOST->setFocus();
    if (!m_pTrayIcon->IsAvailable()) {
        // Without a status area the hidden dialog could be neither reached nor quit.
        OnTrayRestore();
    }
    g_hMainWnd = this;
    return true;
}

void CConfigDlg::UpdateData(bool bSaveAndValidate) {
    if (bSaveAndValidate) {
        m_strHostName = m_pUi->IDC_HOST->text();
        m_strHostPort = m_pUi->IDC_HOST_PORT->text();
        m_strLocalPort = m_pUi->IDC_LOCAL_PORT->text();
        m_bAnswerCapa = m_pUi->IDC_ANSWER_CAPA->isChecked();
    } else {
        m_pUi->IDC_HOST->setText(m_strHostName);
        m_pUi->IDC_HOST_PORT->setText(m_strHostPort);
        m_pUi->IDC_LOCAL_PORT->setText(m_strLocalPort);
        m_pUi->IDC_ANSWER_CAPA->setChecked(m_bAnswerCapa);
    }
}

bool CConfigDlg::LoadSettings() {
    m_strLocalPort = QString::fromStdString(m_store.Read(setting::kLocalPort));
    m_strHostPort = QString::fromStdString(m_store.Read(setting::kHostPort));
    m_strHostName = QString::fromStdString(m_store.Read(setting::kHostName));
    m_bAnswerCapa = m_store.ReadInt(setting::kAnswerCapa) != 0;
    UpdateData(false);
    return true;
}

bool CConfigDlg::SaveSettings() {
    m_store.Write(setting::kLocalPort, m_strLocalPort.toStdString());
    m_store.Write(setting::kHostPort, m_strHostPort.toStdString());
    m_store.Write(setting::kHostName, m_strHostName.toStdString());
    m_store.Write(setting::kAnswerCapa, m_bAnswerCapa ? "1" : "0");
    m_bDirty = false;
    return true;
}

void CConfigDlg::StartListener() {
    m_pListenSocket =
        new CListenSocket(m_strHostName.toStdString(), Atoi(m_strHostPort.toStdString()));
    m_pListenSocket->SetAnswerCapa(m_bAnswerCapa);
    // A port that cannot be bound gives no message box: the tray's tip tells it,
    // the program runs on without accepting mail clients, and the next Apply
    // tries again.
    m_strListenError.clear();
    if (!m_pListenSocket->StartListening(
            static_cast<unsigned>(Atoi(m_strLocalPort.toStdString())))) {
        QString strReason = QString::fromLocal8Bit(std::strerror(CAsyncSocket::GetLastError()));
        if (!strReason.isEmpty()) {
            strReason[0] = strReason[0].toLower();
        }
        m_strListenError = QStringLiteral("Not listening on port %1: %2")
                               .arg(Atoi(m_strLocalPort.toStdString()))
                               .arg(strReason);
    }
}

void CConfigDlg::OnApply() {
    UpdateData(true);
    delete m_pListenSocket;  // and with it every open session, without notices
    m_pListenSocket = nullptr;
    // The count follows the listener: the old one's sessions are all gone.
    m_setCounted.clear();
    if (m_nSessions != 0) {
        m_nSessions = 0;
        SetTrayIcon(m_hIconIdle);
    }
    StartListener();
    UpdateTip();
    SaveSettings();
}

void CConfigDlg::PromptApplyChanges() {
    if (!m_bDirty) {
        return;
    }
    if (m_pMessageBoxes->Ask(this, Text(kApplyQuestion), QMessageBox::Yes | QMessageBox::No,
                             QMessageBox::Question) == QMessageBox::Yes) {
        OnApply();
    } else {
        LoadSettings();
    }
}

void CConfigDlg::OnCloseButton() {
    PromptApplyChanges();
    if (m_pTrayIcon->IsAvailable()) {
        hide();
    } else {
        showMinimized();  // hidden, it could be neither reached nor quit
    }
}

void CConfigDlg::OnQuit() {
    if (m_pMessageBoxes->Ask(this, Text(kQuitQuestion), QMessageBox::Ok | QMessageBox::Cancel,
                             QMessageBox::Warning) != QMessageBox::Ok) {
        return;
    }
    PromptApplyChanges();
    m_pTrayIcon->Delete();
    UpdateData(true);
    accept();
}

void CConfigDlg::OnAbout() {
    CAboutDlg dlg(this);
    // Window-modal: the tray icon keeps answering while the box is open.
    dlg.setWindowModality(Qt::WindowModal);
    PlaceOverOwner(&dlg, this);
    dlg.exec();
}

void CConfigDlg::OnFieldChange() {
    m_bDirty = true;
}

// Escape does nothing: the dialog ends only through a confirmed quit.
void CConfigDlg::reject() {}

// No button is a default one, so Enter in a field does nothing; on a focused
// button it presses that button, as in any dialog.
void CConfigDlg::keyPressEvent(QKeyEvent* pEvent) {
    if (pEvent->key() == Qt::Key_Return || pEvent->key() == Qt::Key_Enter) {
        if (auto* pButton = qobject_cast<QPushButton*>(focusWidget()); pButton != nullptr) {
            pButton->click();
        }
        return;
    }
    QDialog::keyPressEvent(pEvent);
}

void CConfigDlg::closeEvent(QCloseEvent* pEvent) {
    pEvent->ignore();
    OnQuit();
}

#ifdef Q_OS_WIN
bool CConfigDlg::nativeEvent(const QByteArray& eventType, void* pMessage, qintptr* pResult) {
    const MSG* pMsg = static_cast<const MSG*>(pMessage);
    if (eventType == "windows_generic_MSG" && pMsg->message == WM_SYSCOMMAND &&
        (pMsg->wParam & 0xFFF0) == IDM_ABOUTBOX) {
        QTimer::singleShot(0, this, &CConfigDlg::OnAbout);
        *pResult = 0;
        return true;
    }
    return QDialog::nativeEvent(eventType, pMessage, pResult);
}
#endif

LRESULT CConfigDlg::OnSessionNotify(WPARAM wParam, LPARAM lParam) {
    if (wParam != 0) {
        // A session of a listener that Apply has replaced is gone already.
        if (m_pListenSocket == nullptr || m_pListenSocket->FindSession(lParam) == nullptr ||
            !m_setCounted.insert(lParam).second) {
            return 0;
        }
        if (m_nSessions == 0) {
            SetTrayIcon(m_hIconActive);
        }
        ++m_nSessions;
        UpdateTip();
    } else {
        if (m_pListenSocket != nullptr) {
            m_pListenSocket->RemoveSession(lParam);
        }
        if (m_setCounted.erase(lParam) != 0 && m_nSessions > 0) {
            --m_nSessions;
        }
        if (m_nSessions == 0) {
            SetTrayIcon(m_hIconIdle);
        }
        UpdateTip();
    }
    return 0;
}

void CConfigDlg::OnReport(const std::string& strText) {
    // Called from inside the proxy's loop, which must not be nested: the box is
    // opened from the Qt loop. The text is a copy; no session is referred to.
    QString strMessage = QString::fromStdString(strText);
    QMetaObject::invokeMethod(
        this, [this, strMessage] { m_pMessageBoxes->Report(this, strMessage); },
        Qt::QueuedConnection);
}

void CConfigDlg::OnCapaRefused() {
    if (m_bCapaHintShown) {
        return;
    }
    m_bCapaHintShown = true;
    if (m_pTrayIcon->IsAvailable()) {
        m_pTrayIcon->ShowMessage(Text(kMessageCaption), Text(kCapaHint));
    } else {
        OnReport(kCapaHint);  // no icon to show it from
    }
}

void CConfigDlg::SetTrayIcon(const QIcon& icon) {
    m_pTrayIcon->Modify(icon);
}

void CConfigDlg::UpdateTip() {
    QString strTip = Text(kTip);
    if (!m_strListenError.isEmpty()) {
        strTip = m_strListenError;
    } else if (m_nSessions == 1) {
        strTip = QStringLiteral("1 connection");
    } else if (m_nSessions > 1) {
        strTip = QStringLiteral("%1 connections").arg(m_nSessions);
    }
    m_pTrayIcon->SetTip(strTip);
}

void CConfigDlg::OnTrayNotify(QSystemTrayIcon::ActivationReason reason) {
    // The right button's menu is the icon's context menu, opened by Qt itself.
    // StatusNotifier hosts report a left click as Trigger and never as a double
    // click; on an XEmbed tray a single click stays without effect.
    if (reason == QSystemTrayIcon::DoubleClick ||
        (reason == QSystemTrayIcon::Trigger && m_pTrayIcon->IsClickToOpen())) {
        OnTrayRestore();
    }
}

// A status area that comes after start-up takes over as the way in, so the
// dialog goes; one that goes away leaves the dialog as the only way in.
void CConfigDlg::OnTrayAvailability(bool bAvailable) {
    if (!bAvailable) {
        OnTrayRestore();
    } else if (QApplication::activeModalWidget() == nullptr) {
        hide();
    }
}

void CConfigDlg::OnTrayRestore() {
    // show() alone leaves a minimised window minimised.
    setWindowState((windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    show();
    raise();
    activateWindow();
    RaiseBoxes();
}

// Open reports and the box awaiting an answer stay above the dialog. A box
// shown while the dialog was hidden would end up under it once the window
// manager maps the dialog, so this runs again whenever the dialog becomes active.
void CConfigDlg::RaiseBoxes() {
    for (QMessageBox* pBox : findChildren<QMessageBox*>(QString(), Qt::FindDirectChildrenOnly)) {
        if (pBox->isVisible()) {
            pBox->raise();
        }
    }
    RaiseOpenBox();
}

void CConfigDlg::changeEvent(QEvent* pEvent) {
    QDialog::changeEvent(pEvent);
    if (pEvent->type() == QEvent::ActivationChange && isActiveWindow()) {
        RaiseBoxes();
    }
}

bool CConfigDlg::RaiseOpenBox() {
    QWidget* pBox = QApplication::activeModalWidget();
    if (pBox == nullptr || pBox == this) {
        return false;
    }
    pBox->setWindowState(pBox->windowState() & ~Qt::WindowMinimized);
    pBox->show();
    pBox->raise();
    pBox->activateWindow();
    return true;
}

// While a box waits for an answer, About and Exit bring it forward instead of
// stacking a second one on it.
void CConfigDlg::OnTrayAbout() {
    if (!RaiseOpenBox()) {
        OnAbout();
    }
}

void CConfigDlg::OnTrayExit() {
    if (!RaiseOpenBox()) {
        OnQuit();
    }
}
