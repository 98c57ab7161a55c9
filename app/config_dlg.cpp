#include "config_dlg.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QIconEngine>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <algorithm>

#include "about_dlg.h"
#include "message_boxes.h"
#include "tray_icon.h"
#include "ui_config_dlg.h"

namespace {

constexpr int kIconSizes[] = {16, 22, 24, 32, 48, 64};

QIcon LoadIcon(const QString& strName) {
    QIcon icon;
    for (int nSize : kIconSizes) {
        icon.addFile(QStringLiteral(":/icons/%1-%2.png").arg(strName).arg(nSize),
                     QSize(nSize, nSize));
    }
    return icon;
}

// The program's own pictures at every size, under the name an installed copy
// gives them in the icon theme. A StatusNotifier host that finds the name
// draws the theme's picture at its own size instead of shrinking the largest
// one sent to it; the pictures sent are all of ours, whatever is installed
// (an icon from the theme sends the sizes the theme has, which need not be all).
class CNamedIconEngine : public QIconEngine {
public:
    CNamedIconEngine(QIcon icon, QString strName)
        : m_icon(std::move(icon)), m_strName(std::move(strName)) {}

    void paint(QPainter* pPainter, const QRect& rect, QIcon::Mode mode,
               QIcon::State state) override {
        m_icon.paint(pPainter, rect, Qt::AlignCenter, mode, state);
    }
    QSize actualSize(const QSize& size, QIcon::Mode mode, QIcon::State state) override {
        return m_icon.actualSize(size, mode, state);
    }
    // The picture of that size in pixels, as an icon engine gives it.
    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override {
        return m_icon.pixmap(size, 1.0, mode, state);
    }
    QPixmap scaledPixmap(const QSize& size, QIcon::Mode mode, QIcon::State state,
                         qreal scale) override {
        return m_icon.pixmap(size, scale, mode, state);
    }
    QList<QSize> availableSizes(QIcon::Mode mode, QIcon::State state) override {
        return m_icon.availableSizes(mode, state);
    }
    QString iconName() override { return m_strName; }
    bool isNull() override { return m_icon.isNull(); }
    QIconEngine* clone() const override { return new CNamedIconEngine(m_icon, m_strName); }

private:
    QIcon m_icon;
    QString m_strName;
};

QIcon LoadTrayIcon(const QString& strName) {
    return QIcon(
        new CNamedIconEngine(LoadIcon(strName), QStringLiteral("postern-%1").arg(strName)));
}

QString Text(const std::string& str) {
    return QString::fromStdString(str);
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
      m_hIconNotListening(LoadTrayIcon(QStringLiteral("not-listening"))),
      m_pUi(std::make_unique<Ui::CConfigDlg>()),
      m_pMessageBoxes(pMessageBoxes),
      m_pTrayIcon(pTrayIcon),
      m_logic(*this, std::move(store)) {
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
    connect(m_pUi->IDC_CLOSE, &QPushButton::clicked, this, [this] { m_logic.OnCloseButton(); });
    connect(m_pUi->IDC_APPLY, &QPushButton::clicked, this, [this] { m_logic.OnApply(); });
    // textEdited, not textChanged: only the user's edits make the form dirty,
    // never the text that LoadSettings writes.
    for (QLineEdit* pEdit : {m_pUi->IDC_HOST, m_pUi->IDC_HOST_PORT, m_pUi->IDC_LOCAL_PORT}) {
        connect(pEdit, &QLineEdit::textEdited, this, [this] { m_logic.OnFieldChange(); });
    }
    for (QCheckBox* pBox : {m_pUi->IDC_ANSWER_CAPA, m_pUi->IDC_ACCEPT_OTHERS}) {
        connect(pBox, &QCheckBox::clicked, this, [this] { m_logic.OnFieldChange(); });
    }
    // activated, not currentIndexChanged: the user's choice, even of the same item.
    connect(m_pUi->IDC_SERVER_TLS, &QComboBox::activated, this,
            [this] { m_logic.OnServerTlsChange(); });

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

CConfigDlg::~CConfigDlg() = default;

bool CConfigDlg::OnInitDialog() {
    // The dialog is never shown here: it stays hidden until restored from the tray,
    // and QDialog centres it on the screen the first time it is shown.
    setWindowIcon(m_hIcon);
    m_pTrayIcon->Add(m_hIconIdle, Text(CConfigLogic::kStartTip), &m_menuTray);
    m_logic.OnInitDialog();
    m_pUi->IDC_HOST->setFocus();
    if (!m_pTrayIcon->IsAvailable()) {
        // Without a status area the hidden dialog could be neither reached nor quit.
        OnTrayRestore();
    }
    return true;
}

void CConfigDlg::ReadFields(SettingValues& fields) {
    fields.Set(setting::kHostName, m_pUi->IDC_HOST->text().toStdString());
    fields.Set(setting::kHostPort, m_pUi->IDC_HOST_PORT->text().toStdString());
    fields.Set(setting::kLocalPort, m_pUi->IDC_LOCAL_PORT->text().toStdString());
    fields.Set(setting::kAnswerCapa, m_pUi->IDC_ANSWER_CAPA->isChecked() ? "1" : "0");
    fields.Set(setting::kServerTls, std::to_string(m_pUi->IDC_SERVER_TLS->currentIndex()));
    CConfigLogic::SetAcceptsOtherComputers(fields, m_pUi->IDC_ACCEPT_OTHERS->isChecked());
}

void CConfigDlg::WriteFields(const SettingValues& fields) {
    m_pUi->IDC_HOST->setText(Text(fields.Get(setting::kHostName)));
    m_pUi->IDC_HOST_PORT->setText(Text(fields.Get(setting::kHostPort)));
    m_pUi->IDC_LOCAL_PORT->setText(Text(fields.Get(setting::kLocalPort)));
    m_pUi->IDC_ANSWER_CAPA->setChecked(fields.GetInt(setting::kAnswerCapa) != 0);
    m_pUi->IDC_SERVER_TLS->setCurrentIndex(
        std::clamp(fields.GetInt(setting::kServerTls), 0, m_pUi->IDC_SERVER_TLS->count() - 1));
    m_pUi->IDC_ACCEPT_OTHERS->setChecked(CConfigLogic::AcceptsOtherComputers(fields));
}

bool CConfigDlg::Ask(const std::string& strText, Question question) {
    if (question == Question::YesNo) {
        return m_pMessageBoxes->Ask(this, Text(strText), QMessageBox::Yes | QMessageBox::No,
                                    QMessageBox::Question) == QMessageBox::Yes;
    }
    if (question == Question::OkCancel) {
        return m_pMessageBoxes->Ask(this, Text(strText), QMessageBox::Ok | QMessageBox::Cancel,
                                    QMessageBox::Warning) == QMessageBox::Ok;
    }
    m_pMessageBoxes->Ask(this, Text(strText), QMessageBox::Ok, QMessageBox::Warning);
    return true;
}

void CConfigDlg::ShowReport(const std::string& strText) {
    // Called from inside the proxy's loop, which must not be nested: the box is
    // opened from the Qt loop. The text is a copy; no session is referred to.
    QString strMessage = Text(strText);
    QMetaObject::invokeMethod(
        this,
        [this, strMessage] {
            m_pMessageBoxes->ShowReport(this, strMessage, [this] { m_logic.OnReportClosed(); });
        },
        Qt::QueuedConnection);
}

void CConfigDlg::OfferTrust(const std::string& strText, const std::string& strFingerprint) {
    // From the Qt loop, as a report; Yes restarts the listener, which must not
    // happen inside the proxy's loop either.
    QString strMessage = Text(strText);
    QMetaObject::invokeMethod(
        this,
        [this, strMessage, strFingerprint] {
            m_pMessageBoxes->Offer(this, strMessage, [this, strFingerprint] {
                m_logic.OnTrustCertificate(strFingerprint);
            });
        },
        Qt::QueuedConnection);
}

bool CConfigDlg::ShowTrayMessage(const std::string& strTitle, const std::string& strText) {
    if (!m_pTrayIcon->IsAvailable()) {
        return false;
    }
    m_pTrayIcon->ShowMessage(Text(strTitle), Text(strText));
    return true;
}

void CConfigDlg::SetTrayIcon(TrayIcon icon) {
    m_pTrayIcon->Modify(icon == TrayIcon::Active         ? m_hIconActive
                        : icon == TrayIcon::NotListening ? m_hIconNotListening
                                                         : m_hIconIdle);
}

void CConfigDlg::SetTrayTip(const std::string& strTip) {
    m_pTrayIcon->SetTip(Text(strTip));
}

void CConfigDlg::HideDialog() {
    if (m_pTrayIcon->IsAvailable()) {
        hide();
    } else {
        showMinimized();  // hidden, it could be neither reached nor quit
    }
}

void CConfigDlg::EndDialog() {
    m_pTrayIcon->Delete();
    accept();
}

void CConfigDlg::OnQuit() {
    m_logic.OnQuit();
}

void CConfigDlg::OnAbout() {
    CAboutDlg dlg(this);
    // Window-modal: the tray icon keeps answering while the box is open.
    dlg.setWindowModality(Qt::WindowModal);
    PlaceOverOwner(&dlg, this);
    dlg.exec();
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
// dialog goes, unless no server is set yet: a new user begins there. One that
// goes away leaves the dialog as the only way in.
void CConfigDlg::OnTrayAvailability(bool bAvailable) {
    if (!bAvailable) {
        OnTrayRestore();
    } else if (QApplication::activeModalWidget() == nullptr && m_logic.HasServer()) {
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
