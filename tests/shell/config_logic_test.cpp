// The configuration dialog's behaviour that both tray apps share, against a
// shell that records what it is told, with the proxy on real loopback sockets.

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <string>
#include <vector>

#include "proxy_fixture.h"
// After the fixture: on Windows the settings store's header must follow <windows.h>.
#include "config_logic.h"

namespace {

using namespace loopback;
using Strings = std::vector<std::string>;
using TrayIcon = IConfigShell::TrayIcon;
using Icons = std::vector<TrayIcon>;

constexpr char kApply[] = "Apply your changes ?";
constexpr char kQuit[] = "This will terminate Postern appication";

// The controls of a dialog, its boxes answered from a script, its tray icon and tip kept.
class CRecordingShell : public IConfigShell {
public:
    // As the dialogs do, only the settings that have a control are read.
    void ReadFields(SettingValues& fields) override {
        for (const SettingKey* pKey :
             {&setting::kHostName, &setting::kHostPort, &setting::kLocalPort, &setting::kAnswerCapa,
              &setting::kServerTls}) {
            fields.Set(*pKey, m_form.Get(*pKey));
        }
        CConfigLogic::SetAcceptsOtherComputers(fields, m_bAcceptOthers);
    }
    void WriteFields(const SettingValues& fields) override {
        m_form = fields;
        m_bAcceptOthers = CConfigLogic::AcceptsOtherComputers(fields);
    }
    bool Ask(const std::string& strText, Question question) override {
        m_asked.push_back(strText);
        if (question == Question::Ok)
            return true;
        if (m_answers.empty()) {
            m_bUnscripted = true;
            return false;
        }
        bool bAnswer = m_answers.front();
        m_answers.pop_front();
        return bAnswer;
    }
    void ShowReport(const std::string& strText) override {
        m_nBoxesOpened += m_bReportOpen ? 0 : 1;
        m_bReportOpen = true;
        m_reported.push_back(strText);
    }
    void OfferTrust(const std::string& strText, const std::string& strFingerprint) override {
        m_offered.push_back(strText + " [" + strFingerprint + "]");
    }
    bool ShowTrayMessage(const std::string& strTitle, const std::string& strText) override {
        if (m_bTray)
            m_messages.push_back(strTitle + ": " + strText);
        return m_bTray;
    }
    void SetTrayIcon(TrayIcon icon) override {
        m_icons.push_back(icon);
        m_bActive = icon == TrayIcon::Active;
    }
    void SetTrayTip(const std::string& strTip) override {
        if (strTip != m_strTip)
            m_tips.push_back(strTip);
        m_strTip = strTip;
    }
    void ShowDialog() override { ++m_nShown; }
    void HideDialog() override { ++m_nHidden; }
    void EndDialog() override { ++m_nEnded; }

    SettingValues m_form;
    bool m_bAcceptOthers = false;  // the box "Accept mail clients from other computers"
    std::deque<bool> m_answers;    // true: Yes or OK
    Strings m_asked;
    Strings m_reported;
    Strings m_offered;  // each text, and its fingerprint in brackets
    Strings m_messages;
    Strings m_tips;
    std::string m_strTip;
    Icons m_icons;  // every change of the icon
    bool m_bActive = false;
    bool m_bReportOpen = false;
    int m_nBoxesOpened = 0;
    bool m_bTray = true;
    bool m_bUnscripted = false;
    int m_nShown = 0;
    int m_nHidden = 0;
    int m_nEnded = 0;
};

// Whether a report box shows strCounted and then a time of day: "... since 21:03)".
bool ShowsCountSince(const std::string& strShown, const std::string& strCounted) {
    if (!strShown.starts_with(strCounted) || strShown.size() != strCounted.size() + 6)
        return false;
    const char* pszTime = strShown.c_str() + strCounted.size();
    auto IsDigit = [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; };
    return IsDigit(pszTime[0]) && IsDigit(pszTime[1]) && pszTime[2] == ':' && IsDigit(pszTime[3]) &&
           IsDigit(pszTime[4]) && pszTime[5] == ')';
}

class ConfigLogic : public ProxyTest {
protected:
    void SetUp() override {
        ProxyTest::SetUp();
#ifdef _WIN32
        m_strName = "postern-shell-test-" + std::to_string(GetCurrentProcessId());
#else
        // The INI file in a folder of the test's own.
        std::string strFolder =
            (std::filesystem::temp_directory_path() / "postern-shell-XXXXXX").string();
        ASSERT_NE(mkdtemp(strFolder.data()), nullptr);
        m_folder = strFolder;
        setenv("XDG_CONFIG_HOME", strFolder.c_str(), 1);
#endif
        m_nLocalPort = FreePort();
        StoreSettings("127.0.0.1", m_nServerPort, m_nLocalPort);
    }

    void TearDown() override {
        EXPECT_FALSE(m_shell.m_bUnscripted) << "the logic asked a question the test did not expect";
        m_pLogic.reset();
#ifdef _WIN32
        RegDeleteTreeA(HKEY_CURRENT_USER, ("Software\\quill\\Postern\\" + m_strName).c_str());
#else
        std::filesystem::remove_all(m_folder);
#endif
        ProxyTest::TearDown();
    }

    CSettingsStore Store() const {
        return CSettingsStore(m_strName);
    }

    void StoreSettings(const std::string& strHost, int nHostPort, int nLocalPort) {
        CSettingsStore store = Store();
        store.WriteProfileString("Settings", "HostName", strHost);
        store.WriteProfileInt("Settings", "HostPort", nHostPort);
        store.WriteProfileInt("Settings", "LocalPort", nLocalPort);
    }

    // The dialog's start-up, as each tray app runs it.
    CConfigLogic& Start() {
        m_pLogic.reset();
        m_pLogic = std::make_unique<CConfigLogic>(m_shell, Store());
        m_pLogic->OnInitDialog();
        return *m_pLogic;
    }

    // What the user's typing does: the control's text, and the form dirty.
    void Type(const SettingKey& key, const std::string& strText) {
        m_shell.m_form.Set(key, strText);
        m_pLogic->OnFieldChange();
    }

    const std::string& Field(const SettingKey& key) const {
        return m_shell.m_form.Get(key);
    }
    int Sessions() const {
        return m_pLogic->GetRunner().GetSessions();
    }
    CListenSocket* Listener() const {
        return m_pLogic->GetRunner().GetListener();
    }
    std::vector<LPARAM> CountedSessions() const {
        const std::set<LPARAM>& counted = m_pLogic->GetRunner().GetCountedSessions();
        return std::vector<LPARAM>(counted.begin(), counted.end());
    }
    LRESULT Notify(WPARAM wParam, LPARAM lParam) {
        return m_pLogic->GetRunner().OnSessionNotify(wParam, lParam);
    }

    // A mail client of the dialog's proxy, greeted and counted; null when it is not.
    CPeer* OpenSession() {
        int nBefore = Sessions();
        SOCKET fd = ConnectToLoopback(m_nLocalPort);
        if (fd == INVALID_SOCKET)
            return nullptr;
        CPeer& client = Adopt(fd);
        if (!WaitText(client, kProxyGreeting) || !Pump([&] { return Sessions() == nBefore + 1; }))
            return nullptr;
        client.TakeReceived();
        return &client;
    }

    // The tip while the proxy listens as stored.
    std::string Tip(const std::string& strSessions) const {
        return "Postern: port " + std::to_string(m_nLocalPort) +
               " \u2192 127.0.0.1:" + std::to_string(m_nServerPort) + ", " + strSessions;
    }

    // That the mail client's session is still served.
    bool IsServed(CPeer& client) {
        client.Send("USER someone\r\n");
        return WaitText(client, kPasswordPrompt);
    }

    std::string m_strName = "postern";
    std::filesystem::path m_folder;
    int m_nLocalPort = 0;
    CRecordingShell m_shell;
    std::unique_ptr<CConfigLogic> m_pLogic;
};

TEST_F(ConfigLogic, CloseAsksToApplyYesSavesNoReloads) {
    CConfigLogic& logic = Start();
    EXPECT_EQ(Field(setting::kLocalPort), std::to_string(m_nLocalPort));
    logic.OnCloseButton();  // nothing typed: no question
    EXPECT_TRUE(m_shell.m_asked.empty());
    Type(setting::kHostName, "localhost");
    m_shell.m_answers = {true};
    logic.OnCloseButton();
    EXPECT_EQ(m_shell.m_asked, Strings{kApply});
    EXPECT_EQ(m_shell.m_nHidden, 2);
    EXPECT_FALSE(logic.IsDirty());
    EXPECT_EQ(Store().Read(setting::kHostName), "localhost");

    Type(setting::kHostName, "localhost.example");
    m_shell.m_answers = {false};
    logic.OnCloseButton();
    EXPECT_EQ(m_shell.m_nHidden, 3);
    EXPECT_EQ(Field(setting::kHostName), "localhost");
    EXPECT_EQ(Store().Read(setting::kHostName), "localhost");
    // No leaves the form dirty, so the question comes back.
    m_shell.m_answers = {false};
    logic.OnCloseButton();
    EXPECT_EQ(m_shell.m_asked, (Strings{kApply, kApply, kApply}));
    EXPECT_EQ(m_shell.m_nShown, 0);  // a server is set: the dialog waits in the tray
}

// Apply, and Yes at the apply question of Close and Quit, take a port only if
// it is a whole number from 1 to 65535, as posternd does; otherwise a box says
// which field is wrong, and the form, the store and the listener stay as they are.
TEST_F(ConfigLogic, ApplyRefusesAPortThatIsNoPort) {
    CConfigLogic& logic = Start();
    CPeer* pClient = OpenSession();
    ASSERT_NE(pClient, nullptr);
    const std::string strStoredPort = std::to_string(m_nServerPort);
    for (const SettingKey* pKey : {&setting::kHostPort, &setting::kLocalPort}) {
        const std::string strField = pKey == &setting::kHostPort ? "Host port" : "Local port";
        for (const char* pszTyped : {"abc", "", "0", "65536", "99999x", "1110x", "-5"}) {
            SCOPED_TRACE(strField + " '" + pszTyped + "'");
            m_shell.m_asked.clear();
            Type(*pKey, pszTyped);
            logic.OnApply();
            EXPECT_EQ(m_shell.m_asked,
                      Strings{strField + " '" + pszTyped + "' is not a port from 1 to 65535."});
            EXPECT_EQ(Field(*pKey), pszTyped);
            EXPECT_TRUE(logic.IsDirty());
            Type(*pKey, pKey == &setting::kHostPort ? strStoredPort : std::to_string(m_nLocalPort));
        }
    }
    EXPECT_EQ(Store().Read(setting::kHostPort), strStoredPort);
    EXPECT_EQ(Store().Read(setting::kLocalPort), std::to_string(m_nLocalPort));
    EXPECT_TRUE(IsServed(*pClient));  // not restarted

    // Yes at Close's question: no box hidden; at Quit's: no end, the dialog shown.
    Type(setting::kLocalPort, "11O");
    m_shell.m_asked.clear();
    m_shell.m_answers = {true};
    logic.OnCloseButton();
    m_shell.m_answers = {true, true};
    EXPECT_FALSE(logic.OnQuit());
    const std::string strWrong = "Local port '11O' is not a port from 1 to 65535.";
    EXPECT_EQ(m_shell.m_asked, (Strings{kApply, strWrong, kQuit, kApply, strWrong}));
    EXPECT_EQ(m_shell.m_nHidden, 0);
    EXPECT_EQ(m_shell.m_nEnded, 0);
    EXPECT_EQ(m_shell.m_nShown, 1);
    EXPECT_EQ(Field(setting::kLocalPort), "11O");
    EXPECT_EQ(Store().Read(setting::kLocalPort), std::to_string(m_nLocalPort));
    EXPECT_TRUE(IsServed(*pClient));

    // Blanks around a number are no typing error; the port is stored as a number.
    Type(setting::kLocalPort, std::to_string(m_nLocalPort));
    Type(setting::kHostPort, " " + strStoredPort + " ");
    logic.OnApply();
    EXPECT_EQ(Store().Read(setting::kHostPort), strStoredPort);
    EXPECT_FALSE(logic.IsDirty());
}

TEST_F(ConfigLogic, ApplyWithUnchangedSettingsClosesSessionsAndRebinds) {
    CConfigLogic& logic = Start();
    CPeer* pFirst = OpenSession();
    CPeer* pSecond = OpenSession();
    ASSERT_NE(pFirst, nullptr);
    ASSERT_NE(pSecond, nullptr);
    EXPECT_EQ(Listener()->GetSessionCount(), 2u);
    logic.OnApply();
    EXPECT_TRUE(WaitClosed(*pFirst));
    EXPECT_TRUE(WaitClosed(*pSecond));
    // The count follows the new listener.
    EXPECT_EQ(Sessions(), 0);
    EXPECT_EQ(m_shell.m_icons, (Icons{TrayIcon::Active, TrayIcon::Idle}));
    EXPECT_EQ(Listener()->GetLocalPort(), m_nLocalPort);
    EXPECT_NE(OpenSession(), nullptr);
    EXPECT_EQ(Sessions(), 1);
    EXPECT_TRUE(m_shell.m_asked.empty());
}

TEST_F(ConfigLogic, QuitCancelChangesNothing) {
    CConfigLogic& logic = Start();
    Type(setting::kHostName, "127.0.0.1x");
    CPeer* pClient = OpenSession();
    ASSERT_NE(pClient, nullptr);
    m_shell.m_answers = {false};
    EXPECT_FALSE(logic.OnQuit());
    EXPECT_EQ(m_shell.m_asked, Strings{kQuit});
    EXPECT_EQ(m_shell.m_nEnded, 0);
    EXPECT_EQ(m_shell.m_nHidden, 0);
    EXPECT_TRUE(logic.IsDirty());
    EXPECT_EQ(Field(setting::kHostName), "127.0.0.1x");
    EXPECT_TRUE(IsServed(*pClient));
}

TEST_F(ConfigLogic, QuitOkThenNoEndsWithoutSavingYesSavesFirst) {
    for (bool bApply : {false, true}) {
        SCOPED_TRACE(bApply ? "Yes" : "No");
        m_shell.m_asked.clear();
        CConfigLogic& logic = Start();
        int nNewPort = FreePort();
        int nOldPort = Store().ReadInt(setting::kLocalPort);
        Type(setting::kLocalPort, std::to_string(nNewPort));
        m_shell.m_answers = {true, bApply};
        EXPECT_TRUE(logic.OnQuit());
        EXPECT_EQ(m_shell.m_asked, (Strings{kQuit, kApply}));
        EXPECT_EQ(m_shell.m_nEnded, bApply ? 2 : 1);
        EXPECT_EQ(Store().ReadInt(setting::kLocalPort), bApply ? nNewPort : nOldPort);
        EXPECT_EQ(Listener()->GetLocalPort(), bApply ? nNewPort : nOldPort);
    }
}

TEST_F(ConfigLogic, TwoSessionsSwitchTheIconTwice) {
    Start();
    std::vector<bool> shown{m_shell.m_bActive};
    CPeer* pFirst = OpenSession();
    shown.push_back(m_shell.m_bActive);
    CPeer* pSecond = OpenSession();
    shown.push_back(m_shell.m_bActive);
    ASSERT_NE(pFirst, nullptr);
    ASSERT_NE(pSecond, nullptr);
    pFirst->Close();
    EXPECT_TRUE(Pump([&] { return Sessions() == 1; }));
    shown.push_back(m_shell.m_bActive);
    pSecond->Close();
    EXPECT_TRUE(Pump([&] { return Sessions() == 0; }));
    shown.push_back(m_shell.m_bActive);
    EXPECT_EQ(shown, (std::vector<bool>{false, true, true, true, false}));
    EXPECT_EQ(m_shell.m_icons.size(), 2u);
    EXPECT_EQ(m_shell.m_tips,
              (Strings{Tip("no connection"), Tip("1 connection"), Tip("2 connections"),
                       Tip("1 connection"), Tip("no connection")}));
    EXPECT_EQ(Listener()->GetSessionCount(), 0u);
}

TEST_F(ConfigLogic, EndNoticesAreCountedOncePerSession) {
    Start();
    // An end notice with nothing open: the count stays 0, the idle icon is set again.
    Notify(0, 987654321);
    EXPECT_EQ(Sessions(), 0);
    EXPECT_EQ(m_shell.m_icons, Icons{TrayIcon::Idle});

    CPeer* pFirst = OpenSession();
    CPeer* pSecond = OpenSession();
    ASSERT_NE(pFirst, nullptr);
    ASSERT_NE(pSecond, nullptr);
    std::vector<LPARAM> sessions = CountedSessions();
    ASSERT_EQ(sessions.size(), 2u);
    Notify(0, sessions[0]);
    Notify(0, sessions[0]);
    EXPECT_EQ(Sessions(), 1);
    EXPECT_TRUE(WaitClosed(*pFirst));
    EXPECT_TRUE(m_shell.m_bActive);
    // The other session is untouched by the repeated notice.
    EXPECT_TRUE(IsServed(*pSecond));
    EXPECT_EQ(Listener()->GetSessionCount(), 1u);
}

TEST_F(ConfigLogic, OpenNoticeOfAReplacedListenerIsNotCounted) {
    CConfigLogic& logic = Start();
    CPeer* pClient = OpenSession();
    ASSERT_NE(pClient, nullptr);
    LPARAM nOld = CountedSessions().at(0);
    // Accepted, but its open notice not yet handled when Apply replaces the listener.
    SOCKET hLate = ConnectToLoopback(m_nLocalPort);
    ASSERT_NE(hLate, INVALID_SOCKET);
    CPeer& late = Adopt(hLate);
    EXPECT_TRUE(WaitText(late, kProxyGreeting));
    logic.OnApply();
    EXPECT_EQ(Sessions(), 0);
    Notify(1, nOld);
    RunFor();  // the late session's own notice, if still queued
    EXPECT_EQ(Sessions(), 0);
    EXPECT_FALSE(m_shell.m_bActive);
    EXPECT_TRUE(WaitClosed(*pClient));
    EXPECT_TRUE(WaitClosed(late));
}

TEST_F(ConfigLogic, BusyLocalPortGivesNoMessageAndApplyRetries) {
    SOCKET hBusy = HoldPort(m_nLocalPort);
    ASSERT_NE(hBusy, INVALID_SOCKET);
    CConfigLogic& logic = Start();
    RunFor();
    EXPECT_EQ(Listener(), nullptr);
    EXPECT_TRUE(m_shell.m_asked.empty());
    EXPECT_TRUE(m_shell.m_reported.empty());
    EXPECT_EQ(m_shell.m_nHidden, 0);
    EXPECT_EQ(m_shell.m_icons, Icons{TrayIcon::NotListening});
    // The tip tells it, not a box: "address already in use" on Linux.
#ifdef _WIN32
    std::string strReason = SocketErrorText(WSAEADDRINUSE);
#else
    std::string strReason = SocketErrorText(EADDRINUSE);
#endif
    strReason[0] = char(std::tolower(static_cast<unsigned char>(strReason[0])));
    EXPECT_EQ(m_shell.m_strTip,
              "Postern: not listening on port " + std::to_string(m_nLocalPort) + ": " + strReason);
    sys::CloseSocket(hBusy);
    logic.OnApply();
    EXPECT_EQ(m_shell.m_strTip, Tip("no connection"));
    EXPECT_EQ(m_shell.m_icons, (Icons{TrayIcon::NotListening, TrayIcon::Idle}));
    EXPECT_NE(OpenSession(), nullptr);
}

// As posternd refuses them, a stored local port that is no port, and a missing
// server, listen nowhere: the tip says why and the icon bears the red mark.
// Without a server the dialog shows at start, for a new user to begin there.
TEST_F(ConfigLogic, StoredSettingsThatCannotRunListenNowhere) {
    CSettingsStore store = Store();
    store.WriteProfileString("Settings", "LocalPort", "abc");
    CConfigLogic& logic = Start();
    EXPECT_EQ(Field(setting::kLocalPort), "0");
    EXPECT_EQ(Listener(), nullptr);
    EXPECT_EQ(m_shell.m_strTip,
              "Postern: not listening: local port '0' is not a port from 1 to 65535");
    EXPECT_EQ(m_shell.m_icons, Icons{TrayIcon::NotListening});
    EXPECT_EQ(m_shell.m_nShown, 0);
    Type(setting::kLocalPort, std::to_string(m_nLocalPort));
    logic.OnApply();
    EXPECT_EQ(m_shell.m_strTip, Tip("no connection"));
    EXPECT_EQ(m_shell.m_icons, (Icons{TrayIcon::NotListening, TrayIcon::Idle}));
    EXPECT_NE(OpenSession(), nullptr);

    // No server: nothing listens at start, nor after an Apply that empties the field.
    store.WriteProfileString("Settings", "HostName", "");
    Start();
    EXPECT_EQ(Listener(), nullptr);
    EXPECT_EQ(m_shell.m_strTip, "Postern: No POP3 server set");
    EXPECT_EQ(m_shell.m_icons.back(), TrayIcon::NotListening);
    EXPECT_EQ(m_shell.m_nShown, 1);
    Type(setting::kHostName, "127.0.0.1");
    m_pLogic->OnApply();
    EXPECT_EQ(m_shell.m_strTip, Tip("no connection"));
    Type(setting::kHostName, "");
    m_pLogic->OnApply();
    EXPECT_EQ(Store().Read(setting::kHostName), "");
    EXPECT_EQ(m_shell.m_strTip, "Postern: No POP3 server set");
    EXPECT_EQ(ConnectToLoopback(m_nLocalPort), INVALID_SOCKET);
    EXPECT_TRUE(m_shell.m_reported.empty());
    EXPECT_TRUE(m_shell.m_asked.empty());
}

// A mail client connected to nPort of ::1; INVALID_SOCKET when refused.
SOCKET ConnectToIPv6Loopback(int nPort) {
    SOCKET fd = sys::OpenStreamSocket(AF_INET6);
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_port = htons(std::uint16_t(nPort));
    address.sin6_addr = in6addr_loopback;
    if (fd != INVALID_SOCKET) {
        SetBlocking(fd, true);
        if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            sys::CloseSocket(fd);
            fd = INVALID_SOCKET;
        }
    }
    return fd;
}

// The box "Accept mail clients from other computers", checked unless stored
// otherwise: unchecked and applied, it stores localhost and listens on
// 127.0.0.1 and ::1, where the sessions of both count together.
// An address set by hand shows as what it does and stays until the box changes.
TEST_F(ConfigLogic, AcceptOtherComputersBoxChoosesTheListenAddress) {
    CConfigLogic& logic = Start();
    EXPECT_TRUE(m_shell.m_bAcceptOthers);
    CPeer* pOld = OpenSession();
    ASSERT_NE(pOld, nullptr);
    m_shell.m_bAcceptOthers = false;
    logic.OnFieldChange();
    logic.OnApply();
    EXPECT_EQ(Store().Read(setting::kListenAddress), "localhost");
    EXPECT_TRUE(WaitClosed(*pOld));
    // Not the socket of every interface, which is an IPv6 one.
    sockaddr_storage bound{};
    socklen_t nLength = sizeof bound;
    ASSERT_EQ(getsockname(Listener()->m_hSocket, reinterpret_cast<sockaddr*>(&bound), &nLength), 0);
    EXPECT_EQ(bound.ss_family, AF_INET);
    ASSERT_NE(OpenSession(), nullptr);
    SOCKET hOverIPv6 = ConnectToIPv6Loopback(m_nLocalPort);
    if (CAsyncSocket probe; probe.Create(0, SOCK_STREAM, 0, "::1")) {
        ASSERT_NE(hOverIPv6, INVALID_SOCKET);
        EXPECT_TRUE(WaitText(Adopt(hOverIPv6), kProxyGreeting));
        EXPECT_TRUE(Pump([&] { return Sessions() == 2; }));
        EXPECT_EQ(m_shell.m_strTip, Tip("2 connections"));
    }
    Start();
    EXPECT_FALSE(m_shell.m_bAcceptOthers);

    // Set by hand: a loopback address shows unchecked, another checked; each
    // stays through an Apply. A bad one listens nowhere, the tip says why, and
    // it gives way to the box.
    for (const char* pszByHand : {"127.0.0.2", "::1", "192.0.2.1"}) {
        SCOPED_TRACE(pszByHand);
        Store().Write(setting::kListenAddress, pszByHand);
        Start();
        EXPECT_EQ(m_shell.m_bAcceptOthers, std::string(pszByHand) == "192.0.2.1");
        Type(setting::kAnswerCapa, "1");
        m_pLogic->OnApply();
        EXPECT_EQ(Store().Read(setting::kListenAddress), pszByHand);
    }
    Store().Write(setting::kListenAddress, "nowhere");
    Start();
    EXPECT_EQ(m_shell.m_strTip,
              "Postern: not listening: listen address 'nowhere' is not an IP address (such as "
              "127.0.0.1 or ::1) or localhost");
    m_pLogic->OnFieldChange();
    m_pLogic->OnApply();
    EXPECT_EQ(Store().Read(setting::kListenAddress), "");
    EXPECT_EQ(m_shell.m_strTip, Tip("no connection"));
    EXPECT_TRUE(m_shell.m_asked.empty());
}

// Windows' tips hold 127 characters: a long server name is cut, the count stays.
TEST_F(ConfigLogic, TipFitsATrayTip) {
    const std::string strHost = "pop." + std::string(200, 'a') + ".example";
    StoreSettings(strHost, 995, m_nLocalPort);
    Start();
    // Characters, not bytes: the arrow and the ellipsis take three bytes each.
    auto nCharacters = std::count_if(m_shell.m_strTip.begin(), m_shell.m_strTip.end(),
                                     [](char c) { return (c & 0xC0) != 0x80; });
    EXPECT_EQ(nCharacters, 127) << m_shell.m_strTip;
    EXPECT_EQ(m_shell.m_strTip.rfind(
                  "Postern: port " + std::to_string(m_nLocalPort) + " \u2192 pop.aaa", 0),
              0u);
    EXPECT_TRUE(m_shell.m_strTip.ends_with("aa\u2026:995, no connection")) << m_shell.m_strTip;
}

// One report box at a time: a report that comes while it is open changes its
// text to the latest with a count of all since it opened; once it is closed,
// the next report opens a box of its own.
TEST_F(ConfigLogic, ReportsShareOneBoxWithACount) {
    StoreSettings("127.0.0.1", FreePort(), m_nLocalPort);  // nothing listens there
    CConfigLogic& logic = Start();
    for (int i = 0; i < 3; ++i) {
        CPeer* pClient = OpenSession();
        ASSERT_NE(pClient, nullptr);
        pClient->Send("USER someone\r\nPASS secret\r\n");
        EXPECT_TRUE(Pump([&] { return m_shell.m_reported.size() == std::size_t(i + 1); }));
    }
    EXPECT_EQ(m_shell.m_nBoxesOpened, 1);
    ASSERT_EQ(m_shell.m_reported.size(), 3u);
    const std::string strFirst = m_shell.m_reported[0];
    EXPECT_EQ(strFirst.rfind("Cannot connect 127.0.0.1:", 0), 0u) << strFirst;
    EXPECT_TRUE(ShowsCountSince(m_shell.m_reported[2], strFirst + " (3 times since "))
        << m_shell.m_reported[2];
    // Another report while the box is open: the latest text, and the count of all.
    logic.GetRunner().OnReport("Something else");
    EXPECT_TRUE(
        ShowsCountSince(m_shell.m_reported.back(), "Something else (latest of 4 reports since "))
        << m_shell.m_reported.back();
    EXPECT_EQ(m_shell.m_nBoxesOpened, 1);

    m_shell.m_bReportOpen = false;
    logic.OnReportClosed();
    logic.GetRunner().OnReport("Something else");
    EXPECT_EQ(m_shell.m_nBoxesOpened, 2);
    EXPECT_EQ(m_shell.m_reported.back(), "Something else");
}

TEST_F(ConfigLogic, RefusedCapabilityQueryIsToldOncePerRun) {
    // From the icon; without a status area (the next run), in a message box.
    for (bool bTray : {true, false}) {
        m_pLogic.reset();
        m_shell.m_bTray = bTray;
        Start();
        for (int i = 0; i < 2; ++i) {
            CPeer* pClient = OpenSession();
            ASSERT_NE(pClient, nullptr);
            pClient->Send("CAPA\r\n");
            EXPECT_TRUE(WaitClosed(*pClient));
            EXPECT_EQ(pClient->Received(), "");
        }
        EXPECT_TRUE(Pump([&] { return Sessions() == 0; }));
    }
    ASSERT_EQ(m_shell.m_messages.size(), 1u);
    EXPECT_EQ(m_shell.m_messages[0].rfind("Postern: A mail client asked", 0), 0u);
    ASSERT_EQ(m_shell.m_reported.size(), 1u);
    EXPECT_NE(m_shell.m_reported[0].find("turn on 'Answer capability queries'"), std::string::npos);
}

TEST_F(ConfigLogic, AnswerCapaActsLikeTheFields) {
    CConfigLogic& logic = Start();
    EXPECT_EQ(Field(setting::kAnswerCapa), "0");  // off when nothing is stored
    // Toggling is an edit: No at the apply question puts the stored state back.
    Type(setting::kAnswerCapa, "1");
    m_shell.m_answers = {false};
    logic.OnCloseButton();
    EXPECT_EQ(m_shell.m_asked, Strings{kApply});
    EXPECT_EQ(Field(setting::kAnswerCapa), "0");
    // Apply saves it, and the new listener answers capability queries.
    Type(setting::kAnswerCapa, "1");
    logic.OnApply();
    EXPECT_EQ(Store().GetProfileInt("Settings", "AnswerCapa", 0), 1);
    CPeer* pClient = OpenSession();
    ASSERT_NE(pClient, nullptr);
    pClient->Send("CAPA\r\n");
    EXPECT_TRUE(WaitContains(*pClient, "\r\nUSER\r\n.\r\n"));
    m_pLogic.reset();
    Start();
    EXPECT_EQ(Field(setting::kAnswerCapa), "1");
}

TEST_F(ConfigLogic, ServerTlsChoiceMovesTheStandardPortAndIsAnEdit) {
    CConfigLogic& logic = Start();
    EXPECT_EQ(Field(setting::kServerTls), "0");  // plain when nothing is stored
    struct Row {
        const char* pszPort;
        int nChoice;
        const char* pszPortAfter;
    };
    for (const Row& row :
         {Row{"110", 2, "995"}, Row{"995", 1, "110"}, Row{"110", 1, "110"}, Row{"995", 0, "110"},
          Row{"1995", 2, "1995"}, Row{"995", 2, "995"}, Row{"110", 0, "110"}, Row{"", 2, ""}}) {
        SCOPED_TRACE(std::string(row.pszPort) + " to " + std::to_string(row.nChoice));
        m_shell.m_form.Set(setting::kHostPort, row.pszPort);
        m_shell.m_form.Set(setting::kServerTls, std::to_string(row.nChoice));
        logic.OnServerTlsChange();
        EXPECT_EQ(Field(setting::kHostPort), row.pszPortAfter);
        EXPECT_EQ(Field(setting::kServerTls), std::to_string(row.nChoice));
    }
    // Only the choice marks the form: No at the apply question puts both back.
    m_shell.m_form.Set(setting::kHostPort, "110");
    m_pLogic.reset();
    CConfigLogic& fresh = Start();
    m_shell.m_form.Set(setting::kServerTls, "2");
    fresh.OnServerTlsChange();
    EXPECT_TRUE(fresh.IsDirty());
    m_shell.m_answers = {false};
    fresh.OnCloseButton();
    EXPECT_EQ(m_shell.m_asked, Strings{kApply});
    EXPECT_EQ(Field(setting::kServerTls), "0");
    EXPECT_EQ(Field(setting::kHostPort), std::to_string(m_nServerPort));
    // Applied, the choice is stored and read back.
    m_shell.m_form.Set(setting::kServerTls, "1");
    fresh.OnServerTlsChange();
    fresh.OnApply();
    EXPECT_EQ(Store().GetProfileInt("Settings", "ServerTls", 0), 1);
    Start();
    EXPECT_EQ(Field(setting::kServerTls), "1");
}

TEST_F(ConfigLogic, YesToTrustStoresTheFingerprintAndRestartsTheListener) {
    const std::string strFingerprint =
        "AB:CD:EF:01:23:45:67:89:AB:CD:EF:01:23:45:67:89:AB:CD:EF:01:23:45:67:89:AB:CD:EF:01:"
        "23:45:67:89";
    const std::string strReport =
        "Cannot connect 127.0.0.1:995 (certificate not trusted: "
        "self-signed; SHA-256 " +
        strFingerprint + ")";
    CConfigLogic& logic = Start();
    CPeer* pWaiting = OpenSession();
    ASSERT_NE(pWaiting, nullptr);
    logic.GetRunner().OnUntrustedCertificate(strReport, strFingerprint);
    EXPECT_EQ(m_shell.m_offered, Strings{strReport + "\n\n" + CConfigLogic::kTrustQuestion + " [" +
                                         strFingerprint + "]"});
    EXPECT_TRUE(m_shell.m_reported.empty());
    // Without a fingerprint there is nothing to trust: a plain report.
    logic.GetRunner().OnUntrustedCertificate(strReport, "");
    EXPECT_EQ(m_shell.m_reported, Strings{strReport});

    // Yes while an edit waits: the listener restarts with what was applied and
    // the fingerprint; the edit stays in the form, still to be applied.
    Type(setting::kHostName, "elsewhere.example");
    logic.OnTrustCertificate(strFingerprint);
    EXPECT_EQ(Store().Read(setting::kTlsFingerprint), strFingerprint);
    EXPECT_TRUE(WaitClosed(*pWaiting));
    EXPECT_EQ(Store().Read(setting::kHostName), "127.0.0.1");
    EXPECT_EQ(Field(setting::kHostName), "elsewhere.example");
    EXPECT_TRUE(logic.IsDirty());
    EXPECT_TRUE(m_shell.m_asked.empty());
    // A second Yes for the same certificate leaves the sessions it let through alone.
    CPeer* pServed = OpenSession();
    ASSERT_NE(pServed, nullptr);
    logic.OnTrustCertificate(strFingerprint);
    EXPECT_TRUE(IsServed(*pServed));
    // Apply takes the edit and keeps the trust.
    logic.OnApply();
    EXPECT_EQ(Store().Read(setting::kTlsFingerprint), strFingerprint);
    EXPECT_EQ(Store().Read(setting::kHostName), "elsewhere.example");
}

}  // namespace
