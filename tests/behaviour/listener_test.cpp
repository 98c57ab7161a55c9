// The listener and its sessions: end notices that come late, the listener
// deleted with sessions open, and accepting when the process is out of
// descriptors.

#include <dirent.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "proxy_fixture.h"

namespace {

using namespace loopback;

class Listener : public ProxyTest {};

TEST_F(Listener, SecondEndNoticeForARemovedSessionChangesNothing) {
    Session ended;
    ASSERT_TRUE(Login(ended));
    ended.pClient->Close();
    ASSERT_TRUE(WaitEnded(ended.nId));

    Session live;
    ASSERT_TRUE(Login(live));
    for (LPARAM nStale : {ended.nId, LPARAM(0), LPARAM(-1), live.nId + 1000}) {
        m_wnd.OnSessionNotify(0, nStale);
    }
    EXPECT_EQ(m_pListener->GetSessionCount(), 1u);
    live.pClient->Send("STAT\r\n");
    EXPECT_TRUE(WaitText(*live.pServer, "STAT\r\n"));
    EXPECT_FALSE(live.pClient->IsClosedByPeer());
}

TEST_F(Listener, NoticeQueuedForAReplacedListenerNeverEndsANewSession) {
    Session old;
    ASSERT_TRUE(OpenClient(old));
    CPeer* pNewClient = nullptr;
    // Applied settings replace the listener while the old session's end notice
    // is still queued behind; the first mail client of the new listener is
    // accepted before that notice is handled.
    m_pLoop->Post([&] {
        ASSERT_TRUE(StartProxy("127.0.0.1", m_nServerPort));
        pNewClient = &Connect();
        m_pListener->OnAccept(0);
    });
    old.pClient->Close();  // its end notice is posted in the same turn of the loop
    ASSERT_TRUE(Pump([&] { return pNewClient != nullptr && m_wnd.CountNotices(0, old.nId) > 0; }));
    ASSERT_EQ(m_pListener->GetSessionCount(), 1u);
    LPARAM nNew = m_wnd.LastOpened();
    EXPECT_NE(nNew, old.nId);

    RunFor();
    EXPECT_NE(m_pListener->FindSession(nNew), nullptr);
    EXPECT_EQ(pNewClient->Received(), kProxyGreeting);
    EXPECT_FALSE(pNewClient->IsClosedByPeer());
    pNewClient->Send("USER mrose\r\n");
    EXPECT_TRUE(WaitText(*pNewClient, std::string(kProxyGreeting) + std::string(kPasswordPrompt)));
}

TEST_F(Listener, DeletingTheListenerClosesEveryConnectionAndPostsNoNotice) {
    Session loggedIn, greeted, connecting;
    ASSERT_TRUE(Login(loggedIn));
    ASSERT_TRUE(OpenClient(greeted));
    ASSERT_TRUE(StartLogin(connecting));  // APOP sent, no answer yet
    loggedIn.pServer->Send("+OK 2 320\r\n");
    ASSERT_TRUE(WaitText(*loggedIn.pClient, "+OK 2 320\r\n"));
    RunFor();
    std::size_t nNotices = m_wnd.m_notices.size();

    RemoveListener(m_pListener);
    for (CPeer* pPeer : {loggedIn.pClient, loggedIn.pServer, greeted.pClient, connecting.pClient,
                         connecting.pServer}) {
        EXPECT_TRUE(WaitClosed(*pPeer));
    }
    RunFor();
    EXPECT_EQ(m_wnd.m_notices.size(), nNotices);
    EXPECT_EQ(loggedIn.pClient->Received(), "+OK 2 320\r\n");
}

TEST_F(Listener, MailClientsReachItOverIPv6Too) {
    int fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_port = htons(std::uint16_t(m_nProxyPort));
    address.sin6_addr = in6addr_loopback;
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        if (fd >= 0)
            close(fd);
        GTEST_SKIP() << "no IPv6 loopback here";
    }
    CPeer& client = Adopt(fd);
    EXPECT_TRUE(WaitText(client, kProxyGreeting));
    client.Send("USER mrose\r\n");
    EXPECT_TRUE(WaitText(client, std::string(kProxyGreeting) + std::string(kPasswordPrompt)));
}

// Lowers the descriptor limit and fills every descriptor below it; undoes
// both when it goes.
class DescriptorDrought {
public:
    explicit DescriptorDrought(int nHeadroom) {
        getrlimit(RLIMIT_NOFILE, &m_saved);
        rlimit lowered = m_saved;
        lowered.rlim_cur = rlim_t(HighestOpenFd() + 1 + nHeadroom);
        setrlimit(RLIMIT_NOFILE, &lowered);
        for (int fd; (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) m_fillers.push_back(fd);
    }
    ~DescriptorDrought() {
        for (int fd : m_fillers) close(fd);
        setrlimit(RLIMIT_NOFILE, &m_saved);
    }
    // Frees n descriptors.
    void Free(std::size_t n) {
        for (; n > 0 && !m_fillers.empty(); --n) {
            close(m_fillers.back());
            m_fillers.pop_back();
        }
    }

private:
    static int HighestOpenFd() {
        int nHighest = 0;
        DIR* pDir = opendir("/proc/self/fd");
        for (dirent* pEntry; pDir != nullptr && (pEntry = readdir(pDir)) != nullptr;) {
            nHighest = std::max(nHighest, std::atoi(pEntry->d_name));
        }
        if (pDir != nullptr)
            closedir(pDir);
        return nHighest;
    }

    rlimit m_saved{};
    std::vector<int> m_fillers;
};

TEST_F(Listener, RunningOutOfDescriptorsNeitherSpinsNorStopsOtherSessions) {
    Session live;
    ASSERT_TRUE(Login(live));
    // Mail clients that will knock while no descriptor is left; their sockets exist already.
    int hWaiting[2];
    for (int& fd : hWaiting) fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in proxy = Loopback(m_nProxyPort);
    // What happens meanwhile is only noted, and checked once descriptors are
    // back: the sanitizers need a descriptor to describe a failure.
    struct Outcome {
        bool bConnected = false;
        bool bRefused = false;
        std::string strReceived;
        long nIterations = 0;
        bool bRelayed = false;
    } outcomes[2];
    {
        DescriptorDrought drought(8);
        // With none left, and then with one left (enough for a server link, not for the accept).
        for (int i = 0; i < 2; ++i) {
            Outcome& outcome = outcomes[i];
            if (i == 1)
                drought.Free(1);
            outcome.bConnected =
                connect(hWaiting[i], reinterpret_cast<sockaddr*>(&proxy), sizeof proxy) == 0;
            CPeer& refused = Adopt(hWaiting[i]);
            outcome.bRefused = WaitClosed(refused);
            outcome.strReceived = refused.Received();
            outcome.nIterations = CountIterations(300ms);

            live.pClient->Send("STAT\r\n");
            bool bUp = WaitText(*live.pServer, "STAT\r\n");
            live.pServer->TakeReceived();
            live.pServer->Send("+OK 2 320\r\n");
            outcome.bRelayed = bUp && WaitText(*live.pClient, "+OK 2 320\r\n");
            live.pClient->TakeReceived();
        }
    }
    for (const Outcome& outcome : outcomes) {
        EXPECT_TRUE(outcome.bConnected);
        EXPECT_TRUE(outcome.bRefused);
        EXPECT_EQ(outcome.strReceived, "");
        EXPECT_LT(outcome.nIterations, 150);
        EXPECT_TRUE(outcome.bRelayed);
    }
    EXPECT_EQ(m_pListener->GetSessionCount(), 1u);
    Session after;
    EXPECT_TRUE(Login(after));
    EXPECT_EQ(m_pListener->GetSessionCount(), 2u);
}

}  // namespace
