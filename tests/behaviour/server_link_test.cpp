// The server link: the connection to the POP3 server, the time stamp of its
// greeting, the APOP command, and what happens when the server cannot be
// reached.

#include <string>

#include "md5_digest.h"
#include "proxy_fixture.h"

namespace {

using namespace loopback;

class ServerLink : public ProxyTest {
protected:
    // Runs a login up to the server's greeting and returns what the server
    // received for it, once the server sees its connection closed or a line.
    std::string ServerReceivesAfter(std::string_view greeting, Session& session) {
        if (!OpenToServer(session))
            return "(no session or no server connection)";
        session.pServer->Send(greeting);
        Pump([&] {
            return session.pServer->IsClosedByPeer() ||
                   session.pServer->Received().find('\n') != std::string::npos;
        });
        return session.pServer->Received();
    }

    // A login that cannot be made: the mail client hears why as the answer to
    // its PASS, the user gets the report, and the session ends.
    void ExpectRefused(const Session& session, const std::string& strReason,
                       const std::string& strReport) {
        EXPECT_TRUE(WaitClosed(*session.pClient));
        EXPECT_EQ(session.pClient->Received(),
                  std::string(kPasswordPrompt) + "-ERR [SYS/TEMP] " + strReason + "\r\n");
        EXPECT_TRUE(WaitEnded(session.nId));
        ASSERT_TRUE(Pump([&] { return !m_wnd.m_reports.empty(); }));
        EXPECT_EQ(m_wnd.m_reports.back(), strReport);
    }

    // What an error number reads as: in the report, and to the mail client.
    std::string ConnectFailure(int nPort, int nError, bool bForReport) const {
        std::string strText = SocketErrorText(nError);
        std::string strServer = "Cannot connect 127.0.0.1:" + std::to_string(nPort);
        if (bForReport)
            return strServer + " (" + std::to_string(nError) + "): " + strText;
        return strServer + " (" + InSentence(strText) + ")";
    }
};

TEST_F(ServerLink, LogsInWithOneApopCommandAndPassesOnlyTheAnswer) {
    Session session;
    ASSERT_TRUE(StartLogin(session));
    RunFor();
    EXPECT_EQ(session.pServer->Received(), kRfcApop);  // exactly one command
    EXPECT_EQ(session.pClient->Received(), "");        // the greeting goes no further

    session.pServer->Send(kLoggedIn);
    EXPECT_TRUE(WaitText(*session.pClient, kLoggedIn));
}

TEST_F(ServerLink, TimeStampIsFoundWhereverTheGreetingHasIt) {
    for (const char* pszGreeting : {"+OK <1896.697170952@dbc.mtview.ca.us>\r\n",
                                    "+OK <old <1896.697170952@dbc.mtview.ca.us> <later@x>\r\n",
                                    "-ERR busy, but <1896.697170952@dbc.mtview.ca.us>\r\n",
                                    "<1896.697170952@dbc.mtview.ca.us>\r\n"}) {
        SCOPED_TRACE(pszGreeting);
        Session session;
        EXPECT_EQ(ServerReceivesAfter(pszGreeting, session), kRfcApop);
        session.pServer->Send("-ERR wrong password\r\n");
        EXPECT_TRUE(
            WaitText(*session.pClient, std::string(kPasswordPrompt) + "-ERR wrong password\r\n"));
    }
}

TEST_F(ServerLink, GreetingWithoutAUsableTimeStampIsAnsweredAndEndsTheSession) {
    for (const char* pszGreeting : {"+OK POP3 server ready\r\n", "+OK <unterminated\r\n",
                                    "+OK > then <1896.697170952@dbc.mtview.ca.us>\r\n", "\r\n"}) {
        SCOPED_TRACE(pszGreeting);
        Session session;
        m_wnd.m_reports.clear();
        EXPECT_EQ(ServerReceivesAfter(pszGreeting, session), "");
        EXPECT_TRUE(session.pServer->IsClosedByPeer());
        std::string strNoApop = "127.0.0.1:" + std::to_string(m_nServerPort) +
                                " offers no APOP (no time stamp in its greeting)";
        ExpectRefused(session, strNoApop, strNoApop);
        EXPECT_EQ(m_wnd.CountNotices(0, session.nId), 1u);
    }
}

TEST_F(ServerLink, GreetingLongerThanTheBufferEndsTheSessionWithoutSpinning) {
    Session session;
    EXPECT_EQ(ServerReceivesAfter("+OK <1.2@host> " + std::string(3000, 'g'), session), "");
    EXPECT_TRUE(session.pServer->IsClosedByPeer());
    EXPECT_TRUE(WaitClosed(*session.pClient));
    EXPECT_EQ(m_wnd.CountNotices(0, session.nId), 1u);
    EXPECT_LT(CountIterations(200ms), 100);
}

TEST_F(ServerLink, TimeStampAndPasswordMayTogetherHold255Characters) {
    // "tanstaaf" has 8 characters; a time stamp of 247 fills the area exactly.
    std::string strStamp = "<" + std::string(245, 's') + ">";
    Session session;
    std::string strDigest = CMD5Digest((strStamp + "tanstaaf").c_str()).GetHex();
    EXPECT_EQ(ServerReceivesAfter("+OK " + strStamp + "\r\n", session),
              "APOP mrose " + strDigest + "\r\n");
}

TEST_F(ServerLink, LongerTimeStampsStillMakeTheirCommand) {
    for (std::size_t nStamp : {248u, 2000u}) {
        SCOPED_TRACE(nStamp);
        std::string strStamp(nStamp, 's');
        strStamp.front() = '<';
        strStamp.back() = '>';
        Session session;
        std::string strDigest = CMD5Digest((strStamp + "tanstaaf").c_str()).GetHex();
        EXPECT_EQ(ServerReceivesAfter("+OK " + strStamp + "\r\n", session),
                  "APOP mrose " + strDigest + "\r\n");
    }
}

TEST_F(ServerLink, GreetingWhoseLfComesLateLeavesTheAnswerUntouched) {
    Session session;
    EXPECT_EQ(ServerReceivesAfter(kRfcGreeting.substr(0, kRfcGreeting.size() - 1), session),
              kRfcApop);
    session.pServer->Send("\n+OK maildrop\r\n");
    EXPECT_TRUE(WaitText(*session.pClient, std::string(kPasswordPrompt) + "+OK maildrop\r\n"))
        << testing::PrintToString(session.pClient->Received());
}

TEST_F(ServerLink, GreetingSplitOverReceivesIsTakenOnceItsCrArrives) {
    Session session;
    ASSERT_TRUE(OpenToServer(session));
    ExpectHeldUntilTheRest(*session.pServer, *session.pServer,
                           "+OK POP3 server ready <1896.697170952", "@dbc.mtview.ca.us>\r\n",
                           kRfcApop);
}

TEST_F(ServerLink, ServerClosingBeforeItsGreetingIsAnsweredAndEndsTheSession) {
    Session session;
    ASSERT_TRUE(OpenToServer(session));
    session.pServer->Send("+OK POP3 server rea");
    session.pServer->Close();
    std::string strClosed = "Cannot connect 127.0.0.1:" + std::to_string(m_nServerPort) +
                            " (the server closed the connection before the login)";
    ExpectRefused(session, strClosed, strClosed);
    EXPECT_EQ(m_wnd.CountNotices(0, session.nId), 1u);
}

TEST_F(ServerLink, ConnectionThatFailsIsAnsweredReportedAndEndsTheSession) {
    // Refused by the server; and failing at once (a port that is none).
    int nClosed = ClosedPort();
    for (auto [nPort, nError] :
         {std::pair{nClosed, int(sys::kErrRefused)}, std::pair{0, int(sys::kErrInvalid)},
          std::pair{70000, int(sys::kErrInvalid)}}) {
        SCOPED_TRACE(nPort);
        ASSERT_TRUE(StartProxy("127.0.0.1", nPort));
        m_wnd.m_reports.clear();
        Session session;
        ASSERT_TRUE(OpenWithPass(session));
        ExpectRefused(session, ConnectFailure(nPort, nError, false),
                      ConnectFailure(nPort, nError, true));
        RunFor();
        EXPECT_EQ(m_wnd.m_reports.size(), 1u);
        EXPECT_FALSE(ServerHasPendingConnection());
    }
}

TEST_F(ServerLink, SessionsEndedWhileTheirNameIsLookedUpAreLeftAlone) {
    // The look-up runs on a worker thread; it answers only when let go.
    ASSERT_TRUE(StartProxy("pop.slow", m_nServerPort));
    Session closing, replaced;
    for (Session* pSession : {&closing, &replaced}) {
        ASSERT_TRUE(OpenWithPass(*pSession));
    }
    RunFor();
    closing.pClient->Close();
    EXPECT_TRUE(WaitEnded(closing.nId));
    ASSERT_TRUE(StartProxy("pop.slow", m_nServerPort));  // deletes the other
    EXPECT_TRUE(WaitClosed(*replaced.pClient));

    m_pSeam->LetGo();
    // one name, looked up once for both
    EXPECT_TRUE(Pump([&] { return m_pSeam->SlowFinished() == 1; }, kSlowLookup + kWaitLimit));
    RunFor();
    EXPECT_FALSE(ServerHasPendingConnection());
    EXPECT_TRUE(m_wnd.m_reports.empty());

    Session after;
    EXPECT_TRUE(Login(after));
}

TEST_F(ServerLink, EveryAddressOfTheNameIsTriedInOrder) {
    // Nothing listens on 127.0.0.2 at the server's port; the server is on 127.0.0.1.
    ASSERT_TRUE(StartProxy("pop.twice", m_nServerPort));
    Session session;
    ASSERT_TRUE(Login(session));
    EXPECT_TRUE(m_wnd.m_reports.empty());
}

}  // namespace
