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

TEST_F(ListenerOutOfDescriptors, NeitherSpinsNorStopsOtherSessions) {
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
