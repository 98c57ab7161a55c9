// The configuration dialog's behaviour that both tray apps share, against a
// shell that records what it is told, with the proxy on real loopback sockets.

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

constexpr char kApply[] = "Apply your changes ?";
constexpr char kQuit[] = "This will terminate Postern appication";

// The controls of a dialog, its boxes answered from a script, its tray icon and tip kept.
class CRecordingShell : public IConfigShell {
public:
    void ReadFields(SettingValues& fields) override { fields = m_form; }
    void WriteFields(const SettingValues& fields) override { m_form = fields; }
    bool Ask(const std::string& strText, Question) override {
        m_asked.push_back(strText);
        if (m_answers.empty()) {
            m_bUnscripted = true;
            return false;
        }
        bool bAnswer = m_answers.front();
        m_answers.pop_front();
        return bAnswer;
    }
    void Report(const std::string& strText) override { m_reported.push_back(strText); }
    bool ShowTrayMessage(const std::string& strTitle, const std::string& strText) override {
        if (m_bTray)
            m_messages.push_back(strTitle + ": " + strText);
        return m_bTray;
    }
    void SetTrayIcon(bool bActive) override {
        m_icons.push_back(bActive);
        m_bActive = bActive;
    }
    void SetTrayTip(const std::string& strTip) override {
        if (strTip != m_strTip)
            m_tips.push_back(strTip);
        m_strTip = strTip;
    }
    void HideDialog() override { ++m_nHidden; }
    void EndDialog() override { ++m_nEnded; }

    SettingValues m_form;
    std::deque<bool> m_answers;  // true: Yes or OK
    Strings m_asked;
    Strings m_reported;
    Strings m_messages;
    Strings m_tips;
    std::string m_strTip;
    std::vector<bool> m_icons;  // every change of the icon, true for active
    bool m_bActive = false;
    bool m_bTray = true;
    bool m_bUnscripted = false;
    int m_nHidden = 0;
    int m_nEnded = 0;
};

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
}

TEST_F(ConfigLogic, PortTextsAreStoredAsAtoiReadsThem) {
    struct Row {
        const char* pszTyped;
        int nStored;
        const char* pszReadBack;
    };
    for (const Row& row :
         {Row{"abc", 0, "0"}, Row{" 110x", 110, "110"}, Row{"-5", -5, "-5"}, Row{"", 0, "0"}}) {
        SCOPED_TRACE(row.pszTyped);
        CConfigLogic& logic = Start();
        Type(setting::kHostName, row.pszTyped);
        Type(setting::kHostPort, row.pszTyped);
        logic.OnApply();
        m_pLogic.reset();
        EXPECT_EQ(Store().GetProfileInt("Settings", "HostPort", 110), row.nStored);
        EXPECT_EQ(Store().GetProfileString("Settings", "HostName", "absent"), row.pszTyped);
        Start();
        EXPECT_EQ(Field(setting::kHostPort), row.pszReadBack);
        EXPECT_EQ(Field(setting::kHostName), row.pszTyped);
    }
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
    EXPECT_EQ(m_shell.m_icons, (std::vector<bool>{true, false}));
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
    EXPECT_EQ(m_shell.m_tips, (Strings{"No connection", "1 connection", "2 connections",
                                       "1 connection", "No connection"}));
    EXPECT_EQ(Listener()->GetSessionCount(), 0u);
}

TEST_F(ConfigLogic, EndNoticesAreCountedOncePerSession) {
    Start();
    // An end notice with nothing open: the count stays 0, the idle icon is set again.
    Notify(0, 987654321);
    EXPECT_EQ(Sessions(), 0);
    EXPECT_EQ(m_shell.m_icons, std::vector<bool>{false});

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
    EXPECT_EQ(Listener()->GetLocalPort(), 0);
    EXPECT_TRUE(m_shell.m_asked.empty());
    EXPECT_TRUE(m_shell.m_reported.empty());
    EXPECT_EQ(m_shell.m_nHidden, 0);
    // The tip tells it, not a box: "address already in use" on Linux.
#ifdef _WIN32
    std::string strReason = SocketErrorText(WSAEADDRINUSE);
#else
    std::string strReason = SocketErrorText(EADDRINUSE);
#endif
    strReason[0] = char(std::tolower(static_cast<unsigned char>(strReason[0])));
    EXPECT_EQ(m_shell.m_strTip,
              "Not listening on port " + std::to_string(m_nLocalPort) + ": " + strReason);
    sys::CloseSocket(hBusy);
    logic.OnApply();
    EXPECT_EQ(m_shell.m_strTip, "No connection");
    EXPECT_NE(OpenSession(), nullptr);
}

// As posternd refuses them, a local port that is no port listens nowhere, and
// the tip says why; the field keeps what was typed.
TEST_F(ConfigLogic, LocalPortThatIsNoPortListensNowhere) {
    CSettingsStore store = Store();
    store.WriteProfileString("Settings", "LocalPort", "abc");
    CConfigLogic& logic = Start();
    EXPECT_EQ(Field(setting::kLocalPort), "0");
    EXPECT_EQ(Listener(), nullptr);
    EXPECT_EQ(m_shell.m_strTip, "Not listening: local port '0' is not a port from 1 to 65535");
    for (const char* pszTyped : {"abc", "", "65536", "-5"}) {
        Type(setting::kLocalPort, pszTyped);
        logic.OnApply();
        EXPECT_EQ(Listener(), nullptr) << pszTyped;
        EXPECT_EQ(m_shell.m_strTip, "Not listening: local port '" + std::string(pszTyped) +
                                        "' is not a port from 1 to 65535");
    }
    EXPECT_TRUE(m_shell.m_reported.empty());
    EXPECT_EQ(ConnectToLoopback(m_nLocalPort), INVALID_SOCKET);
    // A good port is taken at the next Apply.
    Type(setting::kLocalPort, std::to_string(m_nLocalPort));
    logic.OnApply();
    EXPECT_EQ(m_shell.m_strTip, "No connection");
    EXPECT_NE(OpenSession(), nullptr);
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

}  // namespace
