// The proxy's side of the login: its greeting, USER and PASS, and the ways a
// mail client's login can end the session.

#include <set>
#include <string>
#include <vector>

#include "md5_digest.h"
#include "proxy_fixture.h"

namespace {

using namespace loopback;

class ProxyLogin : public ProxyTest {
protected:
    // The APOP command the server must receive for the RFC's time stamp.
    static std::string ApopFor(const std::string& strUser, const std::string& strPassword) {
        std::string strJoined = "<1896.697170952@dbc.mtview.ca.us>" + strPassword;
        return "APOP " + strUser + " " + CMD5Digest(strJoined.c_str()).GetHex() + "\r\n";
    }

    // Sends the client's lines, plays the server's greeting and returns the
    // server's first line.
    std::string ApopAfter(std::string_view lines) {
        Session session;
        if (!OpenClient(session))
            return "(no session)";
        session.pClient->Send(lines);
        CPeer* pServer = AcceptServer();
        if (pServer == nullptr)
            return "(no server connection)";
        pServer->Send(kRfcGreeting);
        Pump([&] { return pServer->Received().find('\n') != std::string::npos; });
        return pServer->Received();
    }
};

TEST_F(ProxyLogin, GreetsAtOnceBeforeAnyServerConnectionAndAnnouncesTheSession) {
    CPeer& client = Connect();
    ASSERT_TRUE(WaitText(client, kProxyGreeting)) << client.Received();
    ASSERT_TRUE(Pump([&] { return !m_wnd.m_notices.empty(); }));
    ASSERT_EQ(m_wnd.m_notices.size(), 1u);
    EXPECT_EQ(m_wnd.m_notices[0].wParam, 1u);
    LPARAM nId = m_wnd.m_notices[0].lParam;
    EXPECT_NE(m_pListener->FindSession(nId), nullptr);

    RunFor();
    EXPECT_EQ(client.Received(), kProxyGreeting);
    EXPECT_FALSE(ServerHasPendingConnection());
    EXPECT_EQ(m_pListener->GetSessionCount(), 1u);
}

TEST_F(ProxyLogin, TwoClientsGetIndependentSessions) {
    Session first, second;
    ASSERT_TRUE(OpenClient(first));
    ASSERT_TRUE(OpenClient(second));
    EXPECT_GT(second.nId, first.nId);  // numbered in the order of acceptance
    EXPECT_EQ(m_pListener->GetSessionCount(), 2u);

    first.pClient->Send("USER alice\r\n");
    ASSERT_TRUE(WaitText(*first.pClient, kPasswordPrompt));
    RunFor();
    EXPECT_EQ(second.pClient->Received(), "");

    first.pClient->Send("PASS tanstaaf\r\n");
    first.pServer = AcceptServer();
    ASSERT_NE(first.pServer, nullptr);
    second.pClient->Send("USER bob\r\nPASS secret\r\n");
    second.pServer = AcceptServer();
    ASSERT_NE(second.pServer, nullptr);

    second.pServer->Send(kRfcGreeting);
    first.pServer->Send(kRfcGreeting);
    EXPECT_TRUE(WaitText(*first.pServer, ApopFor("alice", "tanstaaf")));
    EXPECT_TRUE(WaitText(*second.pServer, ApopFor("bob", "secret")));

    first.pServer->Send("+OK alice\r\n");
    second.pServer->Send("+OK bob\r\n");
    EXPECT_TRUE(WaitText(*first.pClient, std::string(kPasswordPrompt) + "+OK alice\r\n"));
    EXPECT_TRUE(WaitText(*second.pClient, std::string(kPasswordPrompt) + "+OK bob\r\n"));

    // Ending one leaves the other working.
    first.pClient->Close();
    EXPECT_TRUE(WaitClosed(*first.pServer));
    first.pServer->Close();
    ASSERT_TRUE(WaitEnded(first.nId));
    second.pClient->Send("STAT\r\n");
    EXPECT_TRUE(WaitText(*second.pServer, ApopFor("bob", "secret") + "STAT\r\n"));
    EXPECT_FALSE(second.pClient->IsClosedByPeer());
}

TEST_F(ProxyLogin, ManyClientsAtOnceAreEachGreeted) {
    std::vector<CPeer*> clients;
    for (int i = 0; i < 40; ++i) clients.push_back(&Connect());
    for (CPeer* pClient : clients) {
        EXPECT_TRUE(WaitText(*pClient, kProxyGreeting));
    }
    EXPECT_EQ(m_pListener->GetSessionCount(), clients.size());
    std::set<LPARAM> ids;
    for (const CTestWnd::Notice& notice : m_wnd.m_notices) {
        if (notice.wParam == 1)
            ids.insert(notice.lParam);
    }
    EXPECT_EQ(ids.size(), clients.size());
}

TEST_F(ProxyLogin, UserIsAnsweredInAnyLetterCaseAndNamesTheApopUser) {
    for (const char* pszCommand : {"USER", "user", "uSeR"}) {
        SCOPED_TRACE(pszCommand);
        Session session;
        ASSERT_TRUE(OpenClient(session));
        session.pClient->Send(std::string(pszCommand) + " alice\r\n");
        EXPECT_TRUE(WaitText(*session.pClient, kPasswordPrompt)) << session.pClient->Received();
        session.pClient->Send("PASS tanstaaf\r\n");
        CPeer* pServer = AcceptServer();
        ASSERT_NE(pServer, nullptr);
        pServer->Send(kRfcGreeting);
        EXPECT_TRUE(WaitText(*pServer, ApopFor("alice", "tanstaaf")));
        RunFor();
        EXPECT_EQ(session.pClient->Received(), kPasswordPrompt);  // nothing answers PASS
    }
}

TEST_F(ProxyLogin, AnyOtherFirstLineEndsTheSessionWithoutAnAnswer) {
    for (const char* pszLine :
         {"USERX alice\r\n", "CAPA\r\n", "\r\n", "   \r\n", "PASS x\r\n", "\nUSER\tbob\r\n"}) {
        SCOPED_TRACE(testing::PrintToString(std::string(pszLine)));
        Session session;
        ASSERT_TRUE(OpenClient(session));
        session.pClient->Send(pszLine);
        EXPECT_TRUE(WaitClosed(*session.pClient));
        EXPECT_EQ(session.pClient->Received(), "");
        EXPECT_EQ(m_wnd.CountNotices(0, session.nId), 1u);
        EXPECT_EQ(m_pListener->FindSession(session.nId), nullptr);
    }
    EXPECT_FALSE(ServerHasPendingConnection());
    EXPECT_EQ(m_wnd.m_nCapaRefused, 1);  // the shell hears of the capability query only
}

constexpr std::string_view kCapabilities = "+OK Capability list follows\r\nUSER\r\n.\r\n";
constexpr std::string_view kLogInWithUser = "-ERR Log in with USER and PASS\r\n";

TEST_F(ProxyLogin, WithCapaAnsweredCommandsBeforeUserAreAnsweredAndTheLoginIsApop) {
    m_pListener->SetAnswerCapa(true);
    Session session;
    ASSERT_TRUE(OpenClient(session));
    session.pClient->Send("CAPA\r\nAUTH\r\nstls\r\nNOOP\r\n\r\nAUTH PLAIN\r\ncapa\r\n");
    std::string strExpected = std::string(kCapabilities);
    for (int i = 0; i < 5; ++i) strExpected += kLogInWithUser;
    strExpected += kCapabilities;
    EXPECT_TRUE(WaitText(*session.pClient, strExpected))
        << testing::PrintToString(session.pClient->Received());
    session.pClient->TakeReceived();
    EXPECT_FALSE(ServerHasPendingConnection());
    session.pClient->Send("USER mrose\r\nPASS tanstaaf\r\n");
    EXPECT_TRUE(WaitText(*session.pClient, kPasswordPrompt));
    CPeer* pServer = AcceptServer();
    ASSERT_NE(pServer, nullptr);
    pServer->Send(kRfcGreeting);
    EXPECT_TRUE(WaitText(*pServer, kRfcApop)) << testing::PrintToString(pServer->Received());
    EXPECT_EQ(m_wnd.CountNotices(0, session.nId), 0u);
    EXPECT_EQ(m_wnd.m_nCapaRefused, 0);
}

TEST_F(ProxyLogin, WithCapaAnsweredQuitOrTooManyCommandsBeforeUserEndTheSession) {
    m_pListener->SetAnswerCapa(true);
    Session quitting, chatty;
    ASSERT_TRUE(OpenClient(quitting));
    ASSERT_TRUE(OpenClient(chatty));
    quitting.pClient->Send("CAPA\r\nQUIT\r\nUSER mrose\r\n");
    std::string strTen;
    for (int i = 0; i < 10; ++i) strTen += "NOOP\r\n";
    chatty.pClient->Send(strTen + "CAPA\r\nUSER mrose\r\n");

    EXPECT_TRUE(WaitClosed(*quitting.pClient));
    EXPECT_EQ(quitting.pClient->Received(), std::string(kCapabilities) + "+OK Bye\r\n");
    EXPECT_TRUE(WaitClosed(*chatty.pClient));
    std::string strAnswers;
    for (int i = 0; i < 10; ++i) strAnswers += kLogInWithUser;
    EXPECT_EQ(chatty.pClient->Received(), strAnswers);  // the eleventh gets no answer
    for (LPARAM nId : {quitting.nId, chatty.nId}) {
        EXPECT_TRUE(WaitEnded(nId));
        EXPECT_EQ(m_wnd.CountNotices(0, nId), 1u);
    }
    EXPECT_FALSE(ServerHasPendingConnection());
}

TEST_F(ProxyLogin, AnyOtherSecondLineEndsTheSessionWithoutAnAnswer) {
    Session session;
    ASSERT_TRUE(OpenClient(session));
    session.pClient->Send("USER alice\r\nSTAT\r\nPASS tanstaaf\r\n");
    EXPECT_TRUE(WaitClosed(*session.pClient));
    EXPECT_EQ(session.pClient->Received(), kPasswordPrompt);
    EXPECT_EQ(m_wnd.CountNotices(0, session.nId), 1u);
    EXPECT_FALSE(ServerHasPendingConnection());
}

TEST_F(ProxyLogin, NamesAndPasswordsAreTakenWholeAndTooLongOnesAreRefused) {
    // The password is the rest of the line, spaces included.
    EXPECT_EQ(ApopAfter("USER mrose\r\nPASS tanstaaf and  more \r\n"),
              ApopFor("mrose", "tanstaaf and  more "));
    std::string strName(255, 'u');
    std::string strPassword(255, 'p');
    EXPECT_EQ(ApopAfter("USER " + strName + "\r\nPASS " + strPassword + "\r\n"),
              ApopFor(strName, strPassword));
    // One more character is refused, never cut, and no server is asked.
    for (auto [strLines, strAnswer] :
         {std::pair{"USER " + strName + "u\r\n",
                    std::string("-ERR [AUTH] user names longer than 255 characters are not "
                                "supported\r\n")},
          std::pair{
              "USER mrose\r\nPASS " + strPassword + "p\r\n",
              std::string(kPasswordPrompt) +
                  "-ERR [AUTH] passwords longer than 255 characters are not supported\r\n"}}) {
        Session session;
        ASSERT_TRUE(OpenClient(session));
        session.pClient->Send(strLines);
        EXPECT_TRUE(WaitText(*session.pClient, strAnswer));
        EXPECT_TRUE(WaitEnded(session.nId));
        EXPECT_TRUE(WaitClosed(*session.pClient));
        EXPECT_FALSE(ServerHasPendingConnection());
    }
}

TEST_F(ProxyLogin, UserSplitOverTwoReceivesIsHandledOnceItsCrArrives) {
    Session session;
    ASSERT_TRUE(OpenClient(session));
    session.pClient->Send("USER mr");
    RunFor();
    EXPECT_EQ(session.pClient->Received(), "");
    session.pClient->Send("ose");
    RunFor();
    session.pClient->Send("\r\n");
    EXPECT_TRUE(WaitText(*session.pClient, kPasswordPrompt));
    session.pClient->Send("PASS tans");
    RunFor();
    EXPECT_FALSE(ServerHasPendingConnection());
    session.pClient->Send("taaf\r\n");
    CPeer* pServer = AcceptServer();
    ASSERT_NE(pServer, nullptr);
    pServer->Send(kRfcGreeting);
    EXPECT_TRUE(WaitText(*pServer, kRfcApop));
    RunFor();
    EXPECT_EQ(session.pClient->Received(), kPasswordPrompt);
}

TEST_F(ProxyLogin, LateLfAfterUserIsTakenAsASeparatorBeforePass) {
    Session session;
    ASSERT_TRUE(OpenClient(session));
    session.pClient->Send("USER mrose\r");
    EXPECT_TRUE(WaitText(*session.pClient, kPasswordPrompt));
    session.pClient->Send("\nPASS tanstaaf\r\n");
    CPeer* pServer = AcceptServer();
    ASSERT_NE(pServer, nullptr);
    pServer->Send(kRfcGreeting);
    EXPECT_TRUE(WaitText(*pServer, kRfcApop));
    EXPECT_EQ(m_wnd.CountNotices(0, session.nId), 0u);
}

TEST_F(ProxyLogin, LateLfAfterPassStaysWithThePassLine) {
    Session session;
    ASSERT_TRUE(OpenClient(session));
    session.pClient->Send("USER mrose\r\nPASS tanstaaf\r");
    CPeer* pServer = AcceptServer();
    ASSERT_NE(pServer, nullptr);
    session.pClient->Send("\nSTAT\r\n");
    RunFor();
    pServer->Send(kRfcGreeting);
    EXPECT_TRUE(WaitText(*pServer, std::string(kRfcApop) + "STAT\r\n"))
        << testing::PrintToString(pServer->Received());

    // Also when the LF comes only after the APOP command has gone out.
    Session later;
    ASSERT_TRUE(OpenClient(later));
    later.pClient->Send("USER mrose\r\nPASS tanstaaf\r");
    pServer = AcceptServer();
    ASSERT_NE(pServer, nullptr);
    pServer->Send(kRfcGreeting);
    EXPECT_TRUE(WaitText(*pServer, kRfcApop));
    later.pClient->Send("\n");
    RunFor();
    later.pClient->Send("STAT\r\n");
    EXPECT_TRUE(WaitText(*pServer, std::string(kRfcApop) + "STAT\r\n"))
        << testing::PrintToString(pServer->Received());
}

TEST_F(ProxyLogin, LoginLineLongerThanTheBufferEndsTheSessionWithoutSpinning) {
    for (const std::string& strPrefix : {std::string(), std::string("USER mrose\r\n")}) {
        SCOPED_TRACE(strPrefix);
        Session session;
        ASSERT_TRUE(OpenClient(session));
        std::string strLine = strPrefix + (strPrefix.empty() ? "USER " : "PASS ");
        strLine.append(3000, 'x');  // no CR anywhere
        session.pClient->Send(strLine);
        EXPECT_TRUE(WaitClosed(*session.pClient));
        EXPECT_EQ(session.pClient->Received(), strPrefix.empty() ? "" : kPasswordPrompt);
        EXPECT_TRUE(WaitEnded(session.nId));
        // Nothing left to do: the loop sleeps out its timeouts instead of spinning.
        EXPECT_LT(CountIterations(200ms), 100);
    }
    EXPECT_FALSE(ServerHasPendingConnection());
}

TEST_F(ProxyLogin, ClientThatNeverLogsInIsDisconnectedButALoggedInOneIsNot) {
    m_pListener->SetLoginTimeout(1s);
    Session done;
    ASSERT_TRUE(Login(done));
    Session idle, halfway;
    ASSERT_TRUE(OpenClient(idle));
    ASSERT_TRUE(OpenClient(halfway));
    halfway.pClient->Send("USER mrose\r\n");

    EXPECT_TRUE(WaitClosed(*idle.pClient));
    EXPECT_TRUE(WaitClosed(*halfway.pClient));
    EXPECT_EQ(m_wnd.CountNotices(0, idle.nId), 1u);
    EXPECT_EQ(m_wnd.CountNotices(0, halfway.nId), 1u);
    EXPECT_EQ(m_pListener->GetSessionCount(), 1u);

    done.pClient->Send("STAT\r\n");
    EXPECT_TRUE(WaitText(*done.pServer, "STAT\r\n"));
    done.pServer->Send("+OK 2 320\r\n");
    EXPECT_TRUE(WaitText(*done.pClient, "+OK 2 320\r\n"));
    EXPECT_EQ(m_wnd.CountNotices(0, done.nId), 0u);
}

}  // namespace
