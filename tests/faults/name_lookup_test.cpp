// A PASS whose server name takes seconds to resolve delays no other session,
// a session that goes away during its lookup is not touched when the lookup
// ends, sessions that hang up during their lookups cannot hold up later ones
// nor get their results, and a lookup that cannot be made fails only its own
// session.

#include <sys/epoll.h>
#include <sys/eventfd.h>

#include <array>
#include <new>
#include <system_error>
#include <thread>

#include "proxy_fixture.h"

namespace faults {
namespace {

using namespace loopback;

using NameLookup = ProxyTest;

TEST_F(NameLookup, SlowNameDelaysNoOtherSessionAndThenLogsInToo) {
    auto [pSlow, pFast, pNowhere] = StartListeners({"pop.slow", "pop.fast", "pop.nowhere"});
    ASSERT_TRUE(pSlow && pFast && pNowhere);

    Session slow;
    ASSERT_TRUE(OpenWithPass(slow, pSlow));
    ASSERT_TRUE(Pump([&] { return m_pSeam->SlowStarted() == 1; }));
    ASSERT_EQ(m_pSeam->SlowFinished(), 0) << "the lookup ran on the loop's thread";

    // While that lookup runs, another session logs in and relays, and a name
    // that does not resolve is reported.
    auto tStart = Clock::now();
    Session fast;
    ASSERT_TRUE(Login(fast, pFast));
    ExpectRelay(fast, "1");
    Session nowhere;
    ASSERT_TRUE(OpenWithPass(nowhere, pNowhere));
    ASSERT_TRUE(Pump([&] { return !m_wnd.m_reports.empty(); }));
    EXPECT_EQ(m_wnd.m_reports[0], ConnectReport("pop.nowhere", m_nServerPort, WSAHOST_NOT_FOUND));
    RecordProperty(
        "other_sessions_ms",
        int(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - tStart).count()));
    EXPECT_EQ(m_pSeam->SlowFinished(), 0) << "the other sessions waited for the slow lookup";
    EXPECT_EQ(ServerConnections(), 1u);
    EXPECT_EQ(slow.pClient->Received(), kPasswordPrompt);

    m_pSeam->LetGo();
    slow.pServer = AcceptServer(kSlowLookup + kWaitLimit);
    ASSERT_NE(slow.pServer, nullptr);
    EXPECT_FALSE(m_pSeam->SlowFinishedByLimit());
    CPeer& slowServer = *slow.pServer;
    slowServer.Send(kRfcGreeting);
    ASSERT_TRUE(WaitContains(slowServer, kRfcApop));
    EXPECT_EQ(slowServer.Received(), kRfcApop);
    slowServer.Send(kLoggedIn);
    ASSERT_TRUE(WaitContains(*slow.pClient, kLoggedIn));
    ExpectRelay(slow, "2");
    ExpectRelay(fast, "3");

    // The session whose name did not resolve was told so and ended; no other did.
    RunFor(200ms);
    EXPECT_EQ(nowhere.pClient->Received(),
              std::string(kPasswordPrompt) +
                  "-ERR [SYS/TEMP] Cannot connect pop.nowhere:" + std::to_string(m_nServerPort) +
                  " (" + InSentence(SocketErrorText(WSAHOST_NOT_FOUND)) + ")\r\n");
    EXPECT_TRUE(nowhere.pClient->IsClosedByPeer());
    EXPECT_EQ(m_wnd.m_reports.size(), 1u);
    EXPECT_EQ(ServerConnections(), 2u);
    EXPECT_EQ(m_wnd.CountNotices(0), 1u);
    EXPECT_TRUE(m_wnd.HasEnded(nowhere.nId));
}

TEST_F(NameLookup, SessionsGoneDuringTheirLookupAreNotTouchedWhenItEnds) {
    auto [pClosing, pReplaced, pTimed] = StartListeners({"pop.slow", "other.slow", "third.slow"});
    ASSERT_TRUE(pClosing && pReplaced && pTimed);
    pTimed->SetLoginTimeout(1s);

    Session closing, replaced, timed;
    ASSERT_TRUE(OpenClient(closing, pClosing));
    ASSERT_TRUE(OpenClient(replaced, pReplaced));
    ASSERT_TRUE(OpenClient(timed, pTimed));
    for (Session* pSession : {&closing, &replaced, &timed}) {
        pSession->pClient->Send("USER mrose\r\nPASS tanstaaf\r\n");
    }
    ASSERT_TRUE(Pump([&] { return m_pSeam->SlowStarted() == 3; }));

    // The mail client leaves; the listener is replaced (as Apply does); the
    // login timeout ends the third.
    closing.pClient->Close();
    ASSERT_TRUE(Pump([&] { return m_wnd.HasEnded(closing.nId); }));
    EXPECT_EQ(pClosing->FindSession(closing.nId), nullptr);
    RemoveListener(pReplaced);
    ASSERT_TRUE(Pump([&] { return replaced.pClient->IsClosedByPeer(); }));
    ASSERT_TRUE(Pump([&] { return timed.pClient->IsClosedByPeer() && m_wnd.HasEnded(timed.nId); }));
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
    Session after;
    ASSERT_TRUE(Login(after, pFast));
    ExpectRelay(after, "1");

    // A loop that goes away while a lookup runs is not touched by it either.
    Session last;
    ASSERT_TRUE(OpenWithPass(last, pClosing));
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

TEST_F(NameLookup, LoginsThatHangUpDuringTheirLookupDoNotHoldUpAFreshOne) {
    // Forty logins hang up at once during their lookups, all of one name or
    // each of its own; a fresh login then waits about one lookup, not the
    // ten rounds of the lookup threads that running all of them would take.
    constexpr int kHangUps = 40;
    for (bool bOneName : {true, false}) {
        SCOPED_TRACE(bOneName ? "one name" : "a name each");
        ASSERT_TRUE(
            Pump([&] { return m_pSeam->TimedStarted() == m_pSeam->TimedFinished(); }, kWaitLimit));
        int nStartedBefore = m_pSeam->TimedStarted();
        CListenSocket* pShared = StartListener("pop.timed", m_nServerPort);
        std::vector<Session> hangUps(kHangUps);
        for (int i = 0; i < kHangUps; ++i) {
            CListenSocket* pListener =
                bOneName ? pShared
                         : StartListener("pop" + std::to_string(i) + ".timed", m_nServerPort);
            ASSERT_TRUE(pListener && OpenClient(hangUps[i], pListener));
        }
        for (Session& client : hangUps) {
            client.pClient->Send("USER mrose\r\nPASS tanstaaf\r\n");
            client.pClient->Close();
        }
        auto tStart = Clock::now();
        Session fresh;
        ASSERT_TRUE(Login(fresh, pShared));
        auto took = Clock::now() - tStart;
        RecordProperty(bOneName ? "fresh_login_ms_one_name" : "fresh_login_ms_a_name_each",
                       int(std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));
        EXPECT_LT(took, 4 * kTimedLookup);
        for (Session& client : hangUps) EXPECT_TRUE(m_wnd.HasEnded(client.nId));
        // The lookups that had started when the sessions went, and the fresh one.
        EXPECT_LE(m_pSeam->TimedStarted() - nStartedBefore, bOneName ? 2 : 8);
    }
}

TEST_F(NameLookup, LoginsAfterTheResolverRecoversGetTheirOwnLookup) {
    // With the resolver stuck, logins that hang up during their lookups keep
    // every lookup thread busy; two logins of that name then wait, together,
    // for a lookup of their own, not for one of the stuck ones.
    constexpr int kLookupThreads = 4;
    CListenSocket* pStuck = StartListener("mail.stuck", m_nServerPort);
    ASSERT_TRUE(pStuck);
    std::vector<Session> hangUps(kLookupThreads);
    for (int i = 0; i < kLookupThreads; ++i) {
        ASSERT_TRUE(OpenWithPass(hangUps[i], pStuck));
        ASSERT_TRUE(Pump([&] { return m_pSeam->StuckStarted() == i + 1; }));
        hangUps[i].pClient->Close();
        ASSERT_TRUE(Pump([&] { return m_wnd.HasEnded(hangUps[i].nId); }));
    }
    Session first, second;
    ASSERT_TRUE(OpenWithPass(first, pStuck));
    ASSERT_TRUE(OpenWithPass(second, pStuck));
    RunFor(100ms);
    ASSERT_EQ(m_pSeam->StuckStarted(), kLookupThreads);

    // The resolver recovers: the stuck lookups time out for no one.
    m_pSeam->LetGo();
    std::array<CPeer*, 2> servers{AcceptServer(), AcceptServer()};
    ASSERT_TRUE(servers[0] && servers[1]);
    for (CPeer* pServer : servers) pServer->Send(kRfcGreeting);
    for (CPeer* pServer : servers) EXPECT_TRUE(WaitText(*pServer, kRfcApop));
    for (CPeer* pServer : servers) pServer->Send(kLoggedIn);
    for (Session* pSession : {&first, &second}) {
        EXPECT_TRUE(WaitText(*pSession->pClient, std::string(kPasswordPrompt).append(kLoggedIn)));
    }
    EXPECT_TRUE(m_wnd.m_reports.empty());
    EXPECT_EQ(m_pSeam->StuckResolved(), 1) << "the two logins shared one lookup";
}

// Stands for a handler that runs out of memory.
class CThrowingHandler : public IEventHandler {
public:
    explicit CThrowingHandler(EventLoop& loop) : m_loop(loop), m_fd(eventfd(1, EFD_CLOEXEC)) {
        m_loop.Register(m_fd, this, EPOLLIN);
    }
    ~CThrowingHandler() { close(m_fd); }
    void HandleEvents(std::uint32_t) override { throw std::bad_alloc(); }
    void HandleFailure() override {
        ++m_nFailures;
        m_loop.Unregister(m_fd, this);
    }
    int m_nFailures = 0;

private:
    EventLoop& m_loop;
    int m_fd;
};

TEST_F(NameLookup, LookupThatCannotBeMadeFailsOnlyItsSession) {
    auto [pNumeric, pFast, pThrows] = StartListeners({"127.0.0.1", "pop.fast", "pop.throws"});
    ASSERT_TRUE(pNumeric && pFast && pThrows);
    Session other;
    ASSERT_TRUE(Login(other, pNumeric));

    m_pLoop->SetThreadStarter([](std::function<void()>) {
        throw std::system_error(EAGAIN, std::generic_category(), "no thread");
    });
    Session noThread, throwing;
    ASSERT_TRUE(OpenClient(noThread, pFast));
    ASSERT_TRUE(OpenClient(throwing, pThrows));
    noThread.pClient->Send("USER mrose\r\nPASS tanstaaf\r\n");
    ASSERT_TRUE(Pump([&] { return m_wnd.m_reports.size() == 1; }));
    EXPECT_EQ(m_wnd.m_reports[0], ConnectReport("pop.fast", m_nServerPort, WSANO_RECOVERY));
    m_pLoop->SetThreadStarter(nullptr);
    throwing.pClient->Send("USER mrose\r\nPASS tanstaaf\r\n");
    ASSERT_TRUE(Pump([&] { return m_wnd.m_reports.size() == 2; }));
    EXPECT_EQ(m_wnd.m_reports[1], ConnectReport("pop.throws", m_nServerPort, WSANO_RECOVERY));

    // A handler and a posted task that throw end nothing else.
    CThrowingHandler handler(*m_pLoop);
    bool bRanAfter = false;
    m_pLoop->Post([] { throw std::bad_alloc(); });
    m_pLoop->Post([&] { bRanAfter = true; });
    ASSERT_TRUE(Pump([&] { return bRanAfter && handler.m_nFailures > 0; }));
    RunFor(100ms);
    EXPECT_EQ(handler.m_nFailures, 1);

    // The failed sessions are told why and end; the others go on.
    for (Session* pFailed : {&noThread, &throwing}) {
        EXPECT_TRUE(WaitClosed(*pFailed->pClient));
        EXPECT_EQ(pFailed->pClient->Received().rfind(
                      std::string(kPasswordPrompt) + "-ERR [SYS/TEMP] Cannot connect ", 0),
                  0u);
        EXPECT_TRUE(m_wnd.HasEnded(pFailed->nId));
    }
    ExpectRelay(other, "1");
    Session after;
    ASSERT_TRUE(Login(after, pFast));
    EXPECT_EQ(m_wnd.m_reports.size(), 2u);

    // Names waiting for a lookup thread are bounded: past the bound, a name
    // fails at once, and the waiting ones go when their sessions do.
    std::vector<Session> waiting(200);
    std::size_t nWaiting = 0;
    auto waitingName = [](std::size_t nIndex) {
        return std::string("w").append(std::to_string(nIndex)).append(".slow");
    };
    while (m_wnd.m_reports.size() == 2 && nWaiting < waiting.size()) {
        std::string strName = waitingName(nWaiting);
        CListenSocket* pListener = StartListener(strName, m_nServerPort);
        ASSERT_TRUE(pListener && OpenWithPass(waiting[nWaiting++], pListener));
        RunFor(2ms);
    }
    ASSERT_EQ(m_wnd.m_reports.size(), 3u);
    EXPECT_EQ(m_wnd.m_reports[2],
              ConnectReport(waitingName(nWaiting - 1), m_nServerPort, WSATRY_AGAIN));
    EXPECT_GT(nWaiting, 10u);
    for (std::size_t i = 0; i < nWaiting; ++i) waiting[i].pClient->Close();
    // Those two failed sessions ended too.
    ASSERT_TRUE(Pump([&] { return m_wnd.CountNotices(0) == nWaiting + 2; }));
    m_pSeam->LetGo();
    RunFor(kSlowLookup + 200ms);
    EXPECT_LE(m_pSeam->SlowStarted(), 8) << "lookups ran for sessions that had gone";
    EXPECT_EQ(ServerConnections(), 2u);
}

}  // namespace
}  // namespace faults
