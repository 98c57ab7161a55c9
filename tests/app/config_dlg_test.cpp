// The configuration dialog and the tray icon, on the offscreen platform, with
// the proxy running on real loopback sockets.

#include "config_dlg.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <deque>
#include <functional>
#include <memory>

#include "about_dlg.h"
#include "event_bridge.h"
#include "event_loop.h"
#include "loopback_peer.h"
#include "message_boxes.h"
#include "single_instance.h"
#include "tray_icon.h"
#include "ui_config_dlg.h"

namespace {

constexpr char kGreeting[] = "+OK Postern 1.0 Ready\r\n";
constexpr char kApplyQuestion[] = "Apply your changes ?";
constexpr char kQuitQuestion[] = "This will terminate Postern appication";

// Answers the dialog's questions from a script and keeps what it was asked.
class CScriptedMessageBoxes : public CMessageBoxes {
public:
    QMessageBox::StandardButton Ask(QWidget*, const QString& strText,
                                    QMessageBox::StandardButtons buttons,
                                    QMessageBox::Icon) override {
        m_asked << strText;
        if (m_fnWhileAsking)
            m_fnWhileAsking();
        if (buttons == QMessageBox::Ok)
            return QMessageBox::Ok;  // a message, not a question
        if (m_answers.empty()) {
            m_bUnscripted = true;
            return QMessageBox::Cancel;
        }
        QMessageBox::StandardButton answer = m_answers.front();
        m_answers.pop_front();
        return answer;
    }
    void ShowReport(QWidget*, const QString& strText, std::function<void()>) override {
        m_reported << strText;
        // Proof that the report is shown from the Qt loop: the proxy's loop is
        // not running, so it can be run from here.
        m_bReportOutsideLoop = EventLoop::Current()->RunOnce(0);
    }

    std::deque<QMessageBox::StandardButton> m_answers;
    std::function<void()> m_fnWhileAsking;
    QStringList m_asked;
    QStringList m_reported;
    bool m_bUnscripted = false;
    bool m_bReportOutsideLoop = false;
};

// A mail client on loopback: the support library's peer, with waits that run
// Qt's loop, which runs the proxy in the same thread. Every wait is bounded.
class CQtClient {
public:
    bool Connect(int nPort) {
        SOCKET fd = loopback::ConnectToLoopback(nPort);
        m_pPeer = fd != INVALID_SOCKET ? std::make_unique<loopback::CPeer>(fd) : nullptr;
        return m_pPeer != nullptr;
    }
    void Send(std::string_view bytes) { m_pPeer->Send(bytes); }
    // Until what was received ends with strEnd; false on timeout or close.
    bool WaitFor(std::string_view strEnd) {
        return QTest::qWaitFor([&] { return EndsWith(strEnd) || m_pPeer->IsClosedByPeer(); },
                               5000) &&
               EndsWith(strEnd);
    }

private:
    bool EndsWith(std::string_view strEnd) {
        m_pPeer->Poll();
        return std::string_view(m_pPeer->Received()).ends_with(strEnd);
    }

    std::unique_ptr<loopback::CPeer> m_pPeer;
};

// A status area that is always there and keeps every change of the icon.
class CRecordingTrayIcon : public CTrayIcon {
public:
    bool IsAvailable() const override { return m_bAvailable; }
    bool IsClickToOpen() const override { return m_bClickToOpen; }
    void Add(const QIcon& icon, const QString& strTip, QMenu* pMenu) override {
        ++m_nAdded;
        m_icon = icon;
        m_strTip = strTip;
        m_pMenu = pMenu;
    }
    void SetTip(const QString& strTip) override {
        if (strTip != m_strTip)
            m_tips << strTip;
        m_strTip = strTip;
    }
    void Modify(const QIcon& icon) override {
        m_changes << icon.cacheKey();
        m_icon = icon;
    }
    void Delete() override { ++m_nDeleted; }
    void ShowMessage(const QString& strTitle, const QString& strText) override {
        m_messages << strTitle + QStringLiteral(": ") + strText;
    }

    bool m_bAvailable = true;
    bool m_bClickToOpen = false;
    int m_nAdded = 0;
    int m_nDeleted = 0;
    QIcon m_icon;
    QString m_strTip;
    QMenu* m_pMenu = nullptr;
    QList<qint64> m_changes;
    QStringList m_messages;
    QStringList m_tips;
};

}  // namespace

class CConfigDlgTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void startsHiddenAndIsCentredWhenRestored();
    void withoutStatusAreaTheDialogIsTheWayIn();
    void trayMenuOffersRestoreAboutExit();
    void escapeAndEnterDoNothing();
    void windowCloseAsksTheQuitQuestion();
    void onlyTheUsersEditsMakeTheFormDirty();
    void reportIsShownFromTheQtLoop();
    void reportBoxDoesNotHoldUpTheProxy();
    void questionBoxKeepsTheProxyRunning();
    void aboutFromTheTrayLeavesTheDialogHidden();
    void checkBoxesAreLastAndActLikeTheFields();
    void applyQuestionIsAnsweredOnlyByYesOrNo();
    void serverTlsChoiceFollowsThePortAndRoundTrips();
    void trustOfferWaitsForNothingAndYesStoresTheFingerprint();
    void trayBringsTheOpenBoxForward();
    void secondStartAsksTheFirstToShow();

private:
    // A stored configuration pointing at nothing, with a free local port.
    void StoreSettings(const QString& strHost, int nHostPort, int nLocalPort);
    CConfigDlg& StartDialog(CMessageBoxes* pMessageBoxes = nullptr);
    bool OpenSession(CQtClient& client);
    // The box the dialog shows without waiting, once it is on screen; null if it never is.
    static QMessageBox* WaitForBox(CConfigDlg& dlg);

    static Ui::CConfigDlg& Ui(CConfigDlg& dlg) { return *dlg.m_pUi; }
    static int Sessions(CConfigDlg& dlg) { return dlg.m_logic.GetRunner().GetSessions(); }
    static bool IsDirty(CConfigDlg& dlg) { return dlg.m_logic.IsDirty(); }
    qint64 IdleKey() const { return m_pDlg->m_hIconIdle.cacheKey(); }
    qint64 ActiveKey() const { return m_pDlg->m_hIconActive.cacheKey(); }
    qint64 NotListeningKey() const { return m_pDlg->m_hIconNotListening.cacheKey(); }

    QTemporaryDir m_dir;
    int m_nLocalPort = 0;
    // Made once XDG_CONFIG_HOME points at the temporary folder.
    CSettingsStore m_store{std::string()};
    std::unique_ptr<EventLoop> m_pLoop;
    std::unique_ptr<CEventBridge> m_pBridge;
    CScriptedMessageBoxes m_boxes;
    std::unique_ptr<CRecordingTrayIcon> m_pTray;
    std::unique_ptr<CConfigDlg> m_pDlg;
};

void CConfigDlgTest::initTestCase() {
    QVERIFY(m_dir.isValid());
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_dir.path()));
    m_store = CSettingsStore("postern");
    QVERIFY(QString::fromStdString(m_store.GetLocation()).startsWith(m_dir.path()));
    QApplication::setQuitOnLastWindowClosed(false);
}

void CConfigDlgTest::init() {
    QDir(m_dir.path() + QStringLiteral("/quill")).removeRecursively();
    m_pLoop = std::make_unique<EventLoop>();
    m_pBridge = std::make_unique<CEventBridge>(*m_pLoop);
    m_boxes = CScriptedMessageBoxes();
    m_pTray = std::make_unique<CRecordingTrayIcon>();
    m_nLocalPort = loopback::FreePort();
    StoreSettings(QStringLiteral("127.0.0.1"), loopback::FreePort(), m_nLocalPort);
}

void CConfigDlgTest::cleanup() {
    QVERIFY2(!m_boxes.m_bUnscripted, "the dialog asked a question the test did not expect");
    m_pDlg.reset();
    m_pTray.reset();
    m_pBridge.reset();
    m_pLoop.reset();
}

void CConfigDlgTest::StoreSettings(const QString& strHost, int nHostPort, int nLocalPort) {
    m_store.WriteProfileString("Settings", "HostName", strHost.toStdString());
    m_store.WriteProfileInt("Settings", "HostPort", nHostPort);
    m_store.WriteProfileInt("Settings", "LocalPort", nLocalPort);
}

CConfigDlg& CConfigDlgTest::StartDialog(CMessageBoxes* pMessageBoxes) {
    m_pDlg = std::make_unique<CConfigDlg>(m_store, pMessageBoxes ? pMessageBoxes : &m_boxes,
                                          m_pTray.get());
    m_pDlg->OnInitDialog();
    return *m_pDlg;
}

bool CConfigDlgTest::OpenSession(CQtClient& client) {
    int nBefore = Sessions(*m_pDlg);
    return client.Connect(m_nLocalPort) && client.WaitFor(kGreeting) &&
           QTest::qWaitFor([&] { return Sessions(*m_pDlg) == nBefore + 1; }, 5000);
}

QMessageBox* CConfigDlgTest::WaitForBox(CConfigDlg& dlg) {
    QMessageBox* pBox = nullptr;
    bool bShown = QTest::qWaitFor(
        [&] {
            pBox = dlg.findChild<QMessageBox*>();
            return pBox != nullptr && pBox->isVisible();
        },
        5000);
    return bShown ? pBox : nullptr;
}

void CConfigDlgTest::startsHiddenAndIsCentredWhenRestored() {
    CConfigDlg& dlg = StartDialog();
    QVERIFY(!dlg.isVisible());
    QTest::qWait(200);
    QVERIFY(!dlg.isVisible());
    QCOMPARE(m_pTray->m_nAdded, 1);
    QCOMPARE(m_pTray->m_strTip.section(QStringLiteral(" \u2192 "), 0, 0),
             QStringLiteral("Postern: port %1").arg(m_nLocalPort));
    QVERIFY(m_pTray->m_strTip.endsWith(QStringLiteral(", no connection")));
    QCOMPARE(m_pTray->m_icon.cacheKey(), IdleKey());
    QCOMPARE(dlg.windowTitle(), QStringLiteral("Postern configuration"));
    QCOMPARE(Ui(dlg).IDC_HOST->text(), QStringLiteral("127.0.0.1"));
    QCOMPARE(Ui(dlg).IDC_LOCAL_PORT->text(), QString::number(m_nLocalPort));

    // A single click opens only where the tray reports no double clicks.
    dlg.OnTrayNotify(QSystemTrayIcon::Trigger);
    QVERIFY(!dlg.isVisible());
    dlg.OnTrayNotify(QSystemTrayIcon::DoubleClick);
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));
    QPoint delta = dlg.frameGeometry().center() - dlg.screen()->availableGeometry().center();
    QVERIFY2(delta.manhattanLength() <= 4,
             qPrintable(QStringLiteral("off centre by %1, %2").arg(delta.x()).arg(delta.y())));
    QCOMPARE(QApplication::focusWidget(), Ui(dlg).IDC_HOST);
    // Close hides it; Restore shows it where it was.
    QPoint position = dlg.pos();
    Ui(dlg).IDC_CLOSE->click();
    QVERIFY(!dlg.isVisible());
    m_pTray->m_bClickToOpen = true;
    dlg.OnTrayNotify(QSystemTrayIcon::Trigger);
    QVERIFY(dlg.isVisible());
    QCOMPARE(dlg.pos(), position);
    QVERIFY(m_boxes.m_asked.isEmpty());
}

void CConfigDlgTest::withoutStatusAreaTheDialogIsTheWayIn() {
    // First start, nothing stored: the defaults, the dialog in sight, nothing
    // listening, and the icon with its red mark.
    QDir(m_dir.path() + QStringLiteral("/quill")).removeRecursively();
    m_pTray->m_bAvailable = false;
    CConfigDlg& dlg = StartDialog();
    QVERIFY(dlg.isVisible());
    QCOMPARE(Ui(dlg).IDC_HOST->text(), QString());
    QCOMPARE(Ui(dlg).IDC_HOST_PORT->text(), QStringLiteral("110"));
    QCOMPARE(Ui(dlg).IDC_LOCAL_PORT->text(), QStringLiteral("110"));
    QCOMPARE(m_pTray->m_strTip, QStringLiteral("Postern: No POP3 server set"));
    QCOMPARE(m_pTray->m_icon.cacheKey(), NotListeningKey());
    // Each tray icon goes by its theme name, and brings every size of its own.
    for (const QIcon& icon : {m_pDlg->m_hIconIdle, m_pDlg->m_hIconActive, m_pTray->m_icon}) {
        QVERIFY(icon.name().startsWith(QStringLiteral("postern-")));
        for (int nSize : {16, 22, 24, 32, 48, 64}) {
            QVERIFY2(icon.availableSizes().contains(QSize(nSize, nSize)), qPrintable(icon.name()));
            QCOMPARE(icon.pixmap(QSize(nSize, nSize), 1.0).size(), QSize(nSize, nSize));
        }
    }
    QCOMPARE(m_pTray->m_icon.name(), QStringLiteral("postern-not-listening"));
    // Close cannot hide it either: it would be out of reach.
    Ui(dlg).IDC_CLOSE->click();
    QVERIFY(dlg.isVisible());
    QVERIFY(dlg.isMinimized());
    dlg.OnTrayRestore();
    QVERIFY(dlg.isVisible());
    QVERIFY(!dlg.isMinimized());
    // Without a server a status area that comes later leaves the dialog in
    // sight; once one is set, it takes over; when it goes, the dialog is back.
    emit m_pTray->AvailabilityChanged(true);
    QVERIFY(dlg.isVisible());
    Ui(dlg).IDC_HOST->setText(QStringLiteral("127.0.0.1"));
    Ui(dlg).IDC_APPLY->click();
    QCOMPARE(m_pTray->m_icon.cacheKey(), IdleKey());
    emit m_pTray->AvailabilityChanged(true);
    QVERIFY(!dlg.isVisible());
    emit m_pTray->AvailabilityChanged(false);
    QVERIFY(dlg.isVisible());
}

void CConfigDlgTest::trayMenuOffersRestoreAboutExit() {
    CConfigDlg& dlg = StartDialog();
    QVERIFY(m_pTray->m_pMenu != nullptr);
    QList<QAction*> actions = m_pTray->m_pMenu->actions();
    QCOMPARE(actions.size(), 3);
    QCOMPARE(actions[0]->text(), QStringLiteral("Restore"));
    QCOMPARE(actions[1]->text(), QStringLiteral("About"));
    QCOMPARE(actions[2]->text(), QStringLiteral("Exit"));
    QCOMPARE(m_pTray->m_pMenu->defaultAction(), actions[0]);
    QVERIFY(actions[0]->font().bold());
    actions[0]->trigger();
    QVERIFY(dlg.isVisible());
    // Exit asks the quit question; Cancel leaves everything as it was.
    m_boxes.m_answers = {QMessageBox::Cancel};
    QSignalSpy finished(&dlg, &QDialog::finished);
    actions[2]->trigger();
    QCOMPARE(m_boxes.m_asked, QStringList{kQuitQuestion});
    QCOMPARE(finished.count(), 0);
    QCOMPARE(m_pTray->m_nDeleted, 0);
}

void CConfigDlgTest::escapeAndEnterDoNothing() {
    CConfigDlg& dlg = StartDialog();
    QSignalSpy finished(&dlg, &QDialog::finished);
    dlg.OnTrayRestore();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));
    QTest::keyClick(&dlg, Qt::Key_Escape);
    QVERIFY(dlg.isVisible());
    // Enter in each field, also after the focus has passed the buttons.
    Ui(dlg).IDC_APPLY->setFocus();
    Ui(dlg).IDC_QUIT->setFocus();
    Ui(dlg).IDC_CLOSE->setFocus();
    for (QLineEdit* pEdit : {Ui(dlg).IDC_HOST, Ui(dlg).IDC_HOST_PORT, Ui(dlg).IDC_LOCAL_PORT}) {
        pEdit->setFocus();
        QTest::keyClick(pEdit, Qt::Key_Return);
        QTest::keyClick(pEdit, Qt::Key_Enter);
        QTest::keyClick(pEdit, Qt::Key_Escape);
    }
    QVERIFY(dlg.isVisible());
    QCOMPARE(finished.count(), 0);
    QVERIFY(m_boxes.m_asked.isEmpty());
    QVERIFY(!IsDirty(dlg));
    for (QPushButton* pButton : dlg.findChildren<QPushButton*>()) {
        QVERIFY(!pButton->isDefault());
    }
    // On a focused button, Enter presses it.
    Ui(dlg).IDC_CLOSE->setFocus();
    QTest::keyClick(Ui(dlg).IDC_CLOSE, Qt::Key_Return);
    QVERIFY(!dlg.isVisible());
}

void CConfigDlgTest::windowCloseAsksTheQuitQuestion() {
    CConfigDlg& dlg = StartDialog();
    QSignalSpy finished(&dlg, &QDialog::finished);
    dlg.OnTrayRestore();
    m_boxes.m_answers = {QMessageBox::Cancel};
    QVERIFY(!dlg.close());  // what the window's close button and Alt+F4 do
    QCOMPARE(m_boxes.m_asked, QStringList{kQuitQuestion});
    QVERIFY(dlg.isVisible());
    m_boxes.m_answers = {QMessageBox::Ok};
    dlg.close();
    QCOMPARE(finished.count(), 1);
    QCOMPARE(m_pTray->m_nDeleted, 1);
}

void CConfigDlgTest::onlyTheUsersEditsMakeTheFormDirty() {
    CConfigDlg& dlg = StartDialog();
    QVERIFY(!IsDirty(dlg));  // loading the settings is not an edit
    dlg.OnTrayRestore();
    Ui(dlg).IDC_CLOSE->click();
    QVERIFY(m_boxes.m_asked.isEmpty());
    dlg.OnTrayRestore();
    QTest::keyClick(Ui(dlg).IDC_HOST_PORT, Qt::Key_Backspace);
    QVERIFY(IsDirty(dlg));
    Ui(dlg).IDC_APPLY->click();
    QVERIFY(!IsDirty(dlg));
    QCOMPARE(m_store.GetProfileString("Settings", "HostName"), std::string("127.0.0.1"));
    // A port that is no port is refused in a box that waits, naming the field;
    // the field keeps what was typed.
    QTest::keyClicks(Ui(dlg).IDC_LOCAL_PORT, QStringLiteral("x"));
    QVERIFY(IsDirty(dlg));
    Ui(dlg).IDC_APPLY->click();
    QCOMPARE(m_boxes.m_asked, QStringList{QStringLiteral("Local port '%1x' is not a port from 1 "
                                                         "to 65535.")
                                              .arg(m_nLocalPort)});
    QCOMPARE(Ui(dlg).IDC_LOCAL_PORT->text(), QStringLiteral("%1x").arg(m_nLocalPort));
    QVERIFY(IsDirty(dlg));
    QCOMPARE(m_store.GetProfileInt("Settings", "LocalPort", 0), m_nLocalPort);
}

void CConfigDlgTest::reportIsShownFromTheQtLoop() {
    int nClosedPort = loopback::FreePort();
    StoreSettings(QStringLiteral("127.0.0.1"), nClosedPort, m_nLocalPort);
    StartDialog();
    CQtClient client;
    QVERIFY(OpenSession(client));
    client.Send("USER someone\r\nPASS secret\r\n");
    QVERIFY(QTest::qWaitFor([&] { return !m_boxes.m_reported.isEmpty(); }, 5000));
    QCOMPARE(m_boxes.m_reported.size(), 1);
    QVERIFY(m_boxes.m_reported[0].startsWith(
        QStringLiteral("Cannot connect 127.0.0.1:%1 (").arg(nClosedPort)));
    QVERIFY(m_boxes.m_bReportOutsideLoop);
}

void CConfigDlgTest::reportBoxDoesNotHoldUpTheProxy() {
    int nClosedPort = loopback::FreePort();
    StoreSettings(QStringLiteral("127.0.0.1"), nClosedPort, m_nLocalPort);
    CMessageBoxes realBoxes;
    CConfigDlg& dlg = StartDialog(&realBoxes);
    CQtClient client;
    QVERIFY(OpenSession(client));
    client.Send("USER someone\r\nPASS secret\r\n");
    QMessageBox* pBox = WaitForBox(dlg);
    QVERIFY(pBox != nullptr);
    QCOMPARE(pBox->windowTitle(), QStringLiteral("Postern"));
    const QString strReport = pBox->text();
    QVERIFY(strReport.startsWith(QStringLiteral("Cannot connect 127.0.0.1:%1 (").arg(nClosedPort)));
    QCOMPARE(pBox->standardButtons(), QMessageBox::StandardButtons(QMessageBox::Ok));
    QVERIFY(!dlg.isVisible());
    QCOMPARE(QApplication::activeModalWidget(), nullptr);  // the report blocks nothing
    QPoint offCentre = pBox->frameGeometry().center() - dlg.screen()->availableGeometry().center();
    QVERIFY(offCentre.manhattanLength() <= 4);
    // While the box is open, mail clients are still served, and the next
    // failure counts in the same box.
    CQtClient other;
    QVERIFY(OpenSession(other));
    other.Send("USER someone\r\nPASS secret\r\n");
    QVERIFY(QTest::qWaitFor([&] { return pBox->text() != strReport; }, 5000));
    QVERIFY(pBox->text().startsWith(strReport + QStringLiteral(" (2 times since ")));
    QCOMPARE(dlg.findChildren<QMessageBox*>().size(), 1);
    dlg.OnTrayRestore();
    QVERIFY(pBox->isVisible());
    pBox->button(QMessageBox::Ok)->click();
    QVERIFY(QTest::qWaitFor([&] { return dlg.findChild<QMessageBox*>() == nullptr; }, 5000));
    // Closed, the next report opens a box of its own.
    CQtClient third;
    QVERIFY(OpenSession(third));
    third.Send("USER someone\r\nPASS secret\r\n");
    QVERIFY(QTest::qWaitFor([&] { return dlg.findChild<QMessageBox*>() != nullptr; }, 5000));
    QCOMPARE(dlg.findChild<QMessageBox*>()->text(), strReport);
}

void CConfigDlgTest::questionBoxKeepsTheProxyRunning() {
    CMessageBoxes realBoxes;
    CConfigDlg& dlg = StartDialog(&realBoxes);
    dlg.OnTrayRestore();
    bool bServed = false;
    QString strQuestion;
    QString strCaption;
    QTimer::singleShot(0, this, [&] {
        auto* pBox = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (pBox == nullptr)
            return;
        strQuestion = pBox->text();
        strCaption = pBox->windowTitle();
        CQtClient client;
        bServed = OpenSession(client);
        pBox->button(QMessageBox::Cancel)->click();
    });
    QSignalSpy finished(&dlg, &QDialog::finished);
    Ui(dlg).IDC_QUIT->click();
    QCOMPARE(strQuestion, QStringLiteral("This will terminate Postern appication"));
    QCOMPARE(strCaption, QStringLiteral("Postern"));
    QVERIFY(bServed);
    QCOMPARE(finished.count(), 0);
}

void CConfigDlgTest::aboutFromTheTrayLeavesTheDialogHidden() {
    CConfigDlg& dlg = StartDialog();
    QStringList texts;
    QString strTitle;
    QPoint aboutCentre;
    bool bConfigShown = true;
    QTimer::singleShot(0, this, [&] {
        auto* pAbout = qobject_cast<CAboutDlg*>(QApplication::activeModalWidget());
        if (pAbout == nullptr)
            return;
        strTitle = pAbout->windowTitle();
        aboutCentre = pAbout->frameGeometry().center();
        for (QLabel* pLabel : pAbout->findChildren<QLabel*>()) texts << pLabel->text();
        bConfigShown = dlg.isVisible();
        QTest::keyClick(pAbout, Qt::Key_Escape);
    });
    dlg.OnTrayAbout();
    QCOMPARE(strTitle, QStringLiteral("About postern"));
    QVERIFY(texts.contains(QStringLiteral("Postern Version 1.0")));
    QVERIFY(!bConfigShown);
    QVERIFY(!dlg.isVisible());
    QPoint offCentre = aboutCentre - dlg.screen()->availableGeometry().center();
    QVERIFY(offCentre.manhattanLength() <= 4);
    // Enter presses OK.
    bool bClosedByEnter = false;
    QTimer::singleShot(0, this, [&] {
        auto* pAbout = qobject_cast<CAboutDlg*>(QApplication::activeModalWidget());
        if (pAbout == nullptr)
            return;
        QTest::keyClick(pAbout, Qt::Key_Return);
        bClosedByEnter = pAbout->result() == QDialog::Accepted;
    });
    Ui(dlg).IDC_ABOUT->click();
    QVERIFY(bClosedByEnter);
}

void CConfigDlgTest::checkBoxesAreLastAndActLikeTheFields() {
    CConfigDlg& dlg = StartDialog();
    QCheckBox* pBox = Ui(dlg).IDC_ANSWER_CAPA;
    QCheckBox* pOthers = Ui(dlg).IDC_ACCEPT_OTHERS;
    // Off and on when nothing is stored.
    QVERIFY(!pBox->isChecked() && pOthers->isChecked() && !IsDirty(dlg));
    dlg.OnTrayRestore();
    // Below the local port in its group, one after the other; after Apply in
    // the tab order, and then round again.
    QCOMPARE(pBox->parentWidget(), Ui(dlg).groupLocalMailer);
    QCOMPARE(pOthers->parentWidget(), Ui(dlg).groupLocalMailer);
    QVERIFY(pBox->y() > Ui(dlg).IDC_LOCAL_PORT->y());
    QVERIFY(pOthers->y() > pBox->y());
    QWidget* pNext = Ui(dlg).IDC_APPLY;
    for (QWidget* pExpected : std::initializer_list<QWidget*>{pBox, pOthers, Ui(dlg).IDC_HOST}) {
        do pNext = pNext->nextInFocusChain();
        while (!(pNext->focusPolicy() & Qt::TabFocus));
        QCOMPARE(pNext, pExpected);
    }
    // As wide as without the box, and only its row taller.
    QDialog bare;
    Ui::CConfigDlg uiBare;
    uiBare.setupUi(&bare);
    delete uiBare.IDC_ANSWER_CAPA;
    QCOMPARE(dlg.sizeHint().width(), bare.sizeHint().width());
    QVERIFY(dlg.sizeHint().height() - bare.sizeHint().height() <= pBox->sizeHint().height() + 12);

    // Toggling by key is an edit: No at the apply question puts the stored state back.
    pBox->setFocus();
    QTest::keyClick(pBox, Qt::Key_Space);
    QVERIFY(pBox->isChecked() && IsDirty(dlg));
    m_boxes.m_answers = {QMessageBox::No};
    Ui(dlg).IDC_CLOSE->click();
    QCOMPARE(m_boxes.m_asked, QStringList{kApplyQuestion});
    QVERIFY(!pBox->isChecked());
    // The box goes into the store as 1 and comes back from it checked; the
    // other, unchecked, as localhost, where mail clients are still served.
    dlg.OnTrayRestore();
    QTest::mouseClick(pBox, Qt::LeftButton);
    QTest::mouseClick(pOthers, Qt::LeftButton);
    Ui(dlg).IDC_APPLY->click();
    QCOMPARE(m_store.GetProfileInt("Settings", "AnswerCapa", 0), 1);
    QCOMPARE(m_store.GetProfileString("Settings", "ListenAddress"), std::string("localhost"));
    CQtClient client;
    QVERIFY(OpenSession(client));
    m_pDlg.reset();
    CConfigDlg& again = StartDialog();
    QVERIFY(Ui(again).IDC_ANSWER_CAPA->isChecked() && !Ui(again).IDC_ACCEPT_OTHERS->isChecked());
}

void CConfigDlgTest::applyQuestionIsAnsweredOnlyByYesOrNo() {
    CMessageBoxes realBoxes;
    CConfigDlg& dlg = StartDialog(&realBoxes);
    dlg.OnTrayRestore();
    QTest::keyClick(Ui(dlg).IDC_HOST, Qt::Key_End);
    QTest::keyClicks(Ui(dlg).IDC_HOST, QStringLiteral(".example"));
    bool bOpenAfterEscapeAndClose = false;
    QTimer::singleShot(0, this, [&] {
        auto* pBox = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (pBox == nullptr || pBox->text() != QLatin1String(kApplyQuestion))
            return;
        QTest::keyClick(pBox, Qt::Key_Escape);
        pBox->close();  // what the box's close button does
        QApplication::processEvents();
        bOpenAfterEscapeAndClose = pBox->isVisible();
        pBox->button(QMessageBox::Yes)->click();
    });
    Ui(dlg).IDC_CLOSE->click();
    QVERIFY(bOpenAfterEscapeAndClose);
    QCOMPARE(m_store.GetProfileString("Settings", "HostName"), std::string("127.0.0.1.example"));
}

void CConfigDlgTest::serverTlsChoiceFollowsThePortAndRoundTrips() {
    StoreSettings(QStringLiteral("127.0.0.1"), 110, m_nLocalPort);
    CConfigDlg& dlg = StartDialog();
    QComboBox* pChoice = Ui(dlg).IDC_SERVER_TLS;
    QCOMPARE(pChoice->currentText(), QStringLiteral("Plain"));
    dlg.OnTrayRestore();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));
    // Beside the port, and next after it in the tab order.
    QLineEdit* pPort = Ui(dlg).IDC_HOST_PORT;
    QCOMPARE(pChoice->geometry().center().y(), pPort->geometry().center().y());
    QVERIFY(pChoice->x() > pPort->x() + pPort->width());
    QWidget* pNext = pPort;
    for (QWidget* pExpected : std::initializer_list<QWidget*>{pChoice, Ui(dlg).IDC_ABOUT}) {
        do pNext = pNext->nextInFocusChain();
        while (!(pNext->focusPolicy() & Qt::TabFocus));
        QCOMPARE(pNext, pExpected);
    }
    // Chosen by key, TLS takes the port along and is an edit.
    pChoice->setFocus();
    QTest::keyClick(pChoice, Qt::Key_End);
    QCOMPARE(pChoice->currentText(), QStringLiteral("TLS"));
    QCOMPARE(pPort->text(), QStringLiteral("995"));
    QVERIFY(IsDirty(dlg));
    Ui(dlg).IDC_APPLY->click();
    QCOMPARE(m_store.GetProfileInt("Settings", "ServerTls", 0), 2);
    m_pDlg.reset();
    QCOMPARE(Ui(StartDialog()).IDC_SERVER_TLS->currentIndex(), 2);
}

void CConfigDlgTest::trustOfferWaitsForNothingAndYesStoresTheFingerprint() {
    CMessageBoxes realBoxes;
    CConfigDlg& dlg = StartDialog(&realBoxes);
    const std::string strFingerprint(95, 'A');
    dlg.m_logic.GetRunner().OnUntrustedCertificate(
        "Cannot connect 127.0.0.1:995 (certificate not trusted: self-signed)", strFingerprint);
    QMessageBox* pBox = WaitForBox(dlg);
    QVERIFY(pBox != nullptr);
    QVERIFY(pBox->text().startsWith(QStringLiteral("Cannot connect 127.0.0.1:995")));
    QVERIFY(pBox->text().endsWith(QLatin1String(CConfigLogic::kTrustQuestion)));
    QCOMPARE(pBox->standardButtons(), QMessageBox::Yes | QMessageBox::No);
    QCOMPARE(pBox->defaultButton(), pBox->button(QMessageBox::No));
    QCOMPARE(QApplication::activeModalWidget(), nullptr);
    CQtClient client;
    QVERIFY(OpenSession(client));
    pBox->button(QMessageBox::Yes)->click();
    QCOMPARE(m_store.GetProfileString("Settings", "TlsFingerprint"), strFingerprint);
    // The listener restarted: the session of the old one is gone.
    QVERIFY(QTest::qWaitFor([&] { return Sessions(dlg) == 0; }, 5000));
}

void CConfigDlgTest::trayBringsTheOpenBoxForward() {
    CMessageBoxes realBoxes;
    CConfigDlg& dlg = StartDialog(&realBoxes);
    QSignalSpy finished(&dlg, &QDialog::finished);
    // The quit question from the tray, then the tray's About, Exit and Restore
    // while it is open: no second box, the dialog shown under the question.
    int nBoxesWhileOpen = -1;
    bool bStillAsking = false;
    QTimer::singleShot(0, this, [&] {
        QWidget* pBox = QApplication::activeModalWidget();
        if (pBox == nullptr)
            return;
        dlg.OnTrayAbout();
        dlg.OnTrayExit();
        dlg.OnTrayNotify(QSystemTrayIcon::DoubleClick);
        nBoxesWhileOpen =
            int(dlg.findChildren<QMessageBox*>().size() + dlg.findChildren<CAboutDlg*>().size());
        bStillAsking = QApplication::activeModalWidget() == pBox && dlg.isVisible();
        qobject_cast<QMessageBox*>(pBox)->button(QMessageBox::Cancel)->click();
    });
    dlg.OnTrayExit();
    QCOMPARE(nBoxesWhileOpen, 1);
    QVERIFY(bStillAsking);
    QCOMPARE(finished.count(), 0);
    // The same while the About box is open.
    nBoxesWhileOpen = -1;
    QTimer::singleShot(0, this, [&] {
        auto* pAbout = qobject_cast<CAboutDlg*>(QApplication::activeModalWidget());
        if (pAbout == nullptr)
            return;
        dlg.OnTrayExit();
        dlg.OnTrayAbout();
        nBoxesWhileOpen =
            int(dlg.findChildren<QMessageBox*>().size() + dlg.findChildren<CAboutDlg*>().size());
        QTest::keyClick(pAbout, Qt::Key_Escape);
    });
    dlg.OnTrayAbout();
    QCOMPARE(nBoxesWhileOpen, 1);
    QCOMPARE(finished.count(), 0);
}

void CConfigDlgTest::secondStartAsksTheFirstToShow() {
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(m_dir.path()));
    CSingleInstance first(QStringLiteral("postern"));
    QVERIFY(!first.AskRunningToShow());
    QVERIFY(first.Listen());
    QSignalSpy shown(&first, &CSingleInstance::ShowRequested);
    CSingleInstance second(QStringLiteral("postern"));
    QVERIFY(second.AskRunningToShow());
    QVERIFY(shown.count() == 1 || shown.wait(5000));
    // Another program name is another program.
    CSingleInstance other(QStringLiteral("postern-copy"));
    QVERIFY(!other.AskRunningToShow());
}

QTEST_MAIN(CConfigDlgTest)
#include "config_dlg_test.moc"
