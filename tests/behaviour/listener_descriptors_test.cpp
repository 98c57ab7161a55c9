// Accepting when the process is out of descriptors, which only a system with
// a descriptor limit (Linux) can be made to run into.

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "proxy_fixture.h"

namespace {

using namespace loopback;

class ListenerOutOfDescriptors : public ProxyTest {};

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

TEST_F(ListenerOutOfDescriptors, TheOldestSilentClientMakesRoomAndNothingSpins) {
    Session live;
    ASSERT_TRUE(Login(live));
    // Mail clients that will knock while descriptors are short; their sockets exist already.
    constexpr int kKnocks = 3;
    int hWaiting[kKnocks];
    for (int& fd : hWaiting) fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in proxy = Loopback(m_nProxyPort);
    // What happens meanwhile is only noted, and checked once descriptors are
    // back: the sanitizers need a descriptor to describe a failure.
    struct Outcome {
        bool bConnected = false;
        bool bClosed = false;
        std::string strReceived;
        long nIterations = 0;
        bool bRelayed = false;
    } outcomes[kKnocks];
    bool bShed = false;
    {
        DescriptorDrought drought(8);
        // None left, and no connection to spare: refused. One left: the
        // client gets it (its server link is made only at PASS) and stays
        // silent. None left again: that silent one makes room for the next.
        CPeer* pSilent = nullptr;
        for (int i = 0; i < kKnocks; ++i) {
            Outcome& outcome = outcomes[i];
            if (i == 1)
                drought.Free(1);
            outcome.bConnected =
                connect(hWaiting[i], reinterpret_cast<sockaddr*>(&proxy), sizeof proxy) == 0;
            CPeer& peer = Adopt(hWaiting[i]);
            if (i == 0)
                outcome.bClosed = WaitClosed(peer);
            else
                WaitText(peer, kProxyGreeting);
            outcome.strReceived = peer.Received();
            outcome.nIterations = CountIterations(300ms);
            if (i == 1)
                pSilent = &peer;
            if (i == 2)
                bShed = WaitClosed(*pSilent);

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
        EXPECT_LT(outcome.nIterations, 150);
        EXPECT_TRUE(outcome.bRelayed);
    }
    EXPECT_TRUE(outcomes[0].bClosed);
    EXPECT_EQ(outcomes[0].strReceived, "");
    EXPECT_EQ(outcomes[1].strReceived, kProxyGreeting);
    EXPECT_EQ(outcomes[2].strReceived, kProxyGreeting);
    EXPECT_TRUE(bShed);
    EXPECT_TRUE(Pump([&] { return m_pListener->GetSessionCount() == 2; }));
    Session after;
    EXPECT_TRUE(Login(after));
    EXPECT_EQ(m_pListener->GetSessionCount(), 3u);
}

}  // namespace
