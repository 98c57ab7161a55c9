// A PASS whose server name takes seconds to resolve delays no other session,
// and a session that goes away during its lookup is not touched when the
// lookup ends.

#include <thread>

#include "fault_harness.h"

namespace faults {
namespace {

using NameLookup = FaultTest;

TEST_F(NameLookup, SlowNameDelaysNoOtherSessionAndThenLogsInToo) {
    CListenSocket* pSlow = StartListener("pop.slow", m_nServerPort);
    CListenSocket* pFast = StartListener("pop.fast", m_nServerPort);
    CListenSocket* pNowhere = StartListener("pop.nowhere", m_nServerPort);
    ASSERT_TRUE(pSlow && pFast && pNowhere);

    Client slow;
    ASSERT_TRUE(Connect(pSlow, slow));
    slow.pPeer->Send("USER mrose\r\nPASS tanstaaf\r\n");
    ASSERT_TRUE(Pump([&] { return m_pSeam->SlowStarted() == 1; }));
    ASSERT_EQ(m_pSeam->SlowFinished(), 0) << "the lookup ran on the loop's thread";

    // While that lookup runs, another session logs in and relays, and a name
    // that does not resolve is reported.
    auto tStart = Clock::now();
    Client fast;
    ASSERT_TRUE(Connect(pFast, fast));
    ASSERT_TRUE(Login(fast, 0));
    ExpectRelay(fast, Server(0), "1");
    Client nowhere;
    ASSERT_TRUE(Connect(pNowhere, nowhere));
    nowhere.pPeer->Send("USER mrose\r\nPASS tanstaaf\r\n");
    ASSERT_TRUE(Pump([&] { return !m_wnd.m_reports.empty(); }));
    EXPECT_EQ(m_wnd.m_reports[0],
              "Cannot connect pop.nowhere:" + std::to_string(m_nServerPort) + " (11001)");
    RecordProperty(
        "other_sessions_ms",
        int(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - tStart).count()));
    EXPECT_EQ(m_pSeam->SlowFinished(), 0) << "the other sessions waited for the slow lookup";
    EXPECT_EQ(ServerConnections(), 1u);
    EXPECT_EQ(slow.pPeer->Received(), std::string(kProxyGreeting) + std::string(kPasswordPrompt));

    m_pSeam->LetGo();
    ASSERT_TRUE(Pump([&] { return ServerConnections() == 2; }, kSlowLookup + kWaitLimit));
    EXPECT_FALSE(m_pSeam->SlowFinishedByLimit());
    CPeer& slowServer = Server(1);
    slowServer.Send(kRfcGreeting);
    ASSERT_TRUE(WaitText(slowServer, kRfcApop));
    EXPECT_EQ(slowServer.Received(), kRfcApop);
    slowServer.Send(kLoggedIn);
    ASSERT_TRUE(WaitText(*slow.pPeer, kLoggedIn));
    ExpectRelay(slow, slowServer, "2");
    ExpectRelay(fast, Server(0), "3");

    // The session whose name did not resolve is still open and has heard nothing more.
    RunFor(200ms);
    EXPECT_EQ(nowhere.pPeer->Received(),
              std::string(kProxyGreeting) + std::string(kPasswordPrompt));
    EXPECT_FALSE(nowhere.pPeer->IsClosedByPeer());
    EXPECT_FALSE(m_wnd.HasEnded(nowhere.nId));
    EXPECT_NE(pNowhere->FindSession(nowhere.nId), nullptr);
    EXPECT_EQ(m_wnd.m_reports.size(), 1u);
    EXPECT_EQ(ServerConnections(), 2u);
    EXPECT_EQ(m_wnd.CountNotices(0), 0u);
}

TEST_F(NameLookup, SessionsGoneDuringTheirLookupAreNotTouchedWhenItEnds) {
    CListenSocket* pClosing = StartListener("pop.slow", m_nServerPort);
    CListenSocket* pReplaced = StartListener("other.slow", m_nServerPort);
    CListenSocket* pTimed = StartListener("third.slow", m_nServerPort);
    ASSERT_TRUE(pClosing && pReplaced && pTimed);
    pTimed->SetLoginTimeout(1s);

    Client closing, replaced, timed;
    ASSERT_TRUE(Connect(pClosing, closing));
    ASSERT_TRUE(Connect(pReplaced, replaced));
    ASSERT_TRUE(Connect(pTimed, timed));
    for (Client* pClient : {&closing, &replaced, &timed}) {
        pClient->pPeer->Send("USER mrose\r\nPASS tanstaaf\r\n");
    }
    ASSERT_TRUE(Pump([&] { return m_pSeam->SlowStarted() == 3; }));

    // The mail client leaves; the listener is replaced (as Apply does); the
    // login timeout ends the third.
    closing.pPeer->Close();
    ASSERT_TRUE(Pump([&] { return m_wnd.HasEnded(closing.nId); }));
    EXPECT_EQ(pClosing->FindSession(closing.nId), nullptr);
    m_listeners.erase(m_listeners.begin() + 1);
    ASSERT_TRUE(Pump([&] { return replaced.pPeer->IsClosedByPeer(); }));
    ASSERT_TRUE(Pump([&] { return timed.pPeer->IsClosedByPeer() && m_wnd.HasEnded(timed.nId); }));
    EXPECT_EQ(pTimed->FindSession(timed.nId), nullptr);
    EXPECT_EQ(m_pSeam->SlowFinished(), 0) << "a session ended only after its lookup";

    m_pSeam->LetGo();
    ASSERT_TRUE(Pump([&] { return m_pSeam->SlowFinished() == 3; }, kSlowLookup + kWaitLimit));
    RunFor(300ms);  // the results reach the loop
    EXPECT_EQ(ServerConnections(), 0u);
    EXPECT_TRUE(m_wnd.m_reports.empty());

    // The loop and its lookup threads still serve new sessions.
    CListenSocket* pFast = StartListener("pop.fast", m_nServerPort);
    ASSERT_TRUE(pFast);
    Client after;
    ASSERT_TRUE(Connect(pFast, after));
    ASSERT_TRUE(Login(after, 0));
    ExpectRelay(after, Server(0), "1");

    // A loop that goes away while a lookup runs is not touched by it either.
    Client last;
    ASSERT_TRUE(Connect(pClosing, last));
    last.pPeer->Send("USER mrose\r\nPASS tanstaaf\r\n");
    ASSERT_TRUE(Pump([&] { return m_pSeam->SlowStarted() == 4; }));
    m_listeners.clear();
    m_pLoop.reset();
    auto tEnd = Clock::now() + kSlowLookup + kWaitLimit;
    while (m_pSeam->SlowFinished() < 4 && Clock::now() < tEnd) {
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(m_pSeam->SlowFinished(), 4);
    std::this_thread::sleep_for(100ms);  // the lookup thread hands in its result, or not
}

}  // namespace
}  // namespace faults
