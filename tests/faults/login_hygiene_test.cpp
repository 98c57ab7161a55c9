// A login that is not finished in time ends its session; a finished one is
// left to the server. The password is gone from the session's memory and from
// the stack once the APOP command is out, or once the server turns out to be
// out of reach; the user name stays. A closed connection's last input is wiped.

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <ostream>
#include <string>
#include <vector>

#include "client_socket.h"
#include "fault_harness.h"
#include "server_socket.h"

namespace faults {
namespace {

using LoginTimeout = FaultTest;

// The stack below the caller's frame, where the loop's handlers ran, read
// through /proc/self/mem: it is no object's, so not for reading directly.
std::string StackBelowHere() {
    constexpr std::size_t kPage = 4096;
    constexpr std::size_t kDepth = 256 * 1024;
    char cHere = 0;
    std::uintptr_t nTop = reinterpret_cast<std::uintptr_t>(&cHere) & ~(kPage - 1);
    std::string strStack(kDepth, '\0');
    int fd = open("/proc/self/mem", O_RDONLY | O_CLOEXEC);
    for (std::size_t nOffset = 0; fd >= 0 && nOffset < kDepth; nOffset += kPage) {
        // A page below the stack's mapping reads as nothing.
        [[maybe_unused]] ssize_t n =
            pread(fd, &strStack[nOffset], kPage, off_t(nTop - kDepth + nOffset));
    }
    if (fd >= 0)
        close(fd);
    return strStack;
}

TEST_F(LoginTimeout, UnfinishedLoginsAreEndedAndLoggedInSessionsAreNot) {
    EXPECT_EQ(CListenSocket::kLoginTimeout, std::chrono::minutes(10));
    constexpr auto kTimeout = 600ms;
    CListenSocket* pListener = StartListener("127.0.0.1", m_nServerPort);
    ASSERT_TRUE(pListener);
    pListener->SetLoginTimeout(kTimeout);

    Client loggedIn;
    ASSERT_TRUE(Connect(pListener, loggedIn));
    ASSERT_TRUE(Login(loggedIn, 0));

    // Three that do not finish: a silent client, one that stops after USER,
    // and one whose server never answers the APOP command.
    auto tFirstConnect = Clock::now();
    Client silent, afterUser, unanswered;
    ASSERT_TRUE(Connect(pListener, silent));
    ASSERT_TRUE(Connect(pListener, afterUser));
    afterUser.pPeer->Send("USER mrose\r\n");
    ASSERT_TRUE(Connect(pListener, unanswered));
    unanswered.pPeer->Send("USER mrose\r\nPASS tanstaaf\r\n");
    ASSERT_TRUE(Pump([&] { return ServerConnections() == 2; }));
    CPeer& unansweredServer = Server(1);
    unansweredServer.Send(kRfcGreeting);
    ASSERT_TRUE(WaitText(unansweredServer, kRfcApop));

    Client* unfinished[] = {&silent, &afterUser, &unanswered};
    Clock::time_point tClosed[3] = {};
    bool bAllClosed = Pump(
        [&] {
            bool bAll = true;
            for (int i = 0; i < 3; ++i) {
                if (unfinished[i]->pPeer->IsClosedByPeer() && tClosed[i] == Clock::time_point()) {
                    tClosed[i] = Clock::now();
                }
                bAll = bAll && unfinished[i]->pPeer->IsClosedByPeer();
            }
            return bAll;
        },
        kTimeout + kWaitLimit);
    ASSERT_TRUE(bAllClosed);
    for (int i = 0; i < 3; ++i) {
        // Never before its time; how late is up to the machine.
        EXPECT_GE(tClosed[i] - tFirstConnect, kTimeout) << "client " << i;
        EXPECT_TRUE(Pump([&] { return m_wnd.HasEnded(unfinished[i]->nId); })) << "client " << i;
        EXPECT_EQ(pListener->FindSession(unfinished[i]->nId), nullptr) << "client " << i;
    }
    std::string strPrompted = std::string(kProxyGreeting) + std::string(kPasswordPrompt);
    EXPECT_EQ(silent.pPeer->Received(), kProxyGreeting);
    EXPECT_EQ(afterUser.pPeer->Received(), strPrompted);
    EXPECT_EQ(unanswered.pPeer->Received(), strPrompted);
    EXPECT_TRUE(Pump([&] { return unansweredServer.IsClosedByPeer(); }))
        << "the server link of an ended session stays open";

    // The logged-in session outlives several more periods of the timeout.
    RunFor(3 * kTimeout);
    EXPECT_FALSE(loggedIn.pPeer->IsClosedByPeer());
    EXPECT_FALSE(m_wnd.HasEnded(loggedIn.nId));
    EXPECT_EQ(pListener->GetSessionCount(), 1u);
    ExpectRelay(loggedIn, Server(0), "1");
    EXPECT_FALSE(Server(0).IsClosedByPeer());
}

// How the mail client's USER and PASS reach the proxy, and what it sends behind them.
struct Delivery {
    const char* pszName;
    std::vector<std::string> chunks;
    std::string strPipelined;
};

void PrintTo(const Delivery& delivery, std::ostream* pStream) {
    *pStream << delivery.pszName;
}

class PasswordHygiene : public FaultTest, public ::testing::WithParamInterface<Delivery> {};

TEST_P(PasswordHygiene, PasswordIsGoneOnceApopIsSentAndUserNameStays) {
    const Delivery& delivery = GetParam();
    CListenSocket* pListener = StartListener("127.0.0.1", m_nServerPort);
    ASSERT_TRUE(pListener);
    Client client;
    ASSERT_TRUE(Connect(pListener, client));
    CClientSocket* pSession = pListener->FindSession(client.nId);
    ASSERT_NE(pSession, nullptr);

    std::string strSent;
    for (const std::string& strChunk : delivery.chunks) {
        client.pPeer->Send(strChunk);
        strSent += strChunk;
        RunFor(30ms);
        // While the PASS line is incomplete it sits in the session's buffer,
        // which shows that the scan below looks where the password would be.
        std::size_t nPass = strSent.find("PASS ");
        if (nPass != std::string::npos && strSent.find('\r', nPass) == std::string::npos) {
            EXPECT_TRUE(Contains(pSession, sizeof(CClientSocket), strSent.substr(nPass)));
        }
    }
    ASSERT_TRUE(Pump([&] { return ServerConnections() == 1; }));
    CServerSocket* pLink = pSession->GetServer();
    ASSERT_NE(pLink, nullptr);
    EXPECT_TRUE(Contains(pLink, sizeof(CServerSocket), kPassword)) << "needed until the greeting";

    CPeer& server = Server(0);
    server.Send(kRfcGreeting);
    ASSERT_TRUE(WaitText(server, kRfcApop));
    auto ExpectNoPassword = [&](const char* pszWhen) {
        // Not even most of it: five characters of eight in a row.
        constexpr std::size_t kPiece = 5;
        EXPECT_FALSE(ContainsPiece(pSession, sizeof(CClientSocket), kPassword, kPiece)) << pszWhen;
        EXPECT_FALSE(ContainsPiece(pLink, sizeof(CServerSocket), kPassword, kPiece)) << pszWhen;
        EXPECT_FALSE(ContainsPiece(m_pLoop->Scratch(), EventLoop::kScratchSize, kPassword, kPiece))
            << pszWhen;
        std::string strStack = StackBelowHere();
        EXPECT_FALSE(ContainsPiece(strStack.data(), strStack.size(), kPassword, kPiece)) << pszWhen;
        EXPECT_TRUE(Contains(pLink, sizeof(CServerSocket), kUser)) << pszWhen;
        EXPECT_STREQ(pLink->GetUser(), "mrose") << pszWhen;
    };
    ExpectNoPassword("APOP sent");

    server.Send(kLoggedIn);
    ASSERT_TRUE(WaitText(*client.pPeer, kLoggedIn));
    EXPECT_TRUE(WaitText(server, std::string(kRfcApop) + delivery.strPipelined));
    ExpectRelay(client, server, "1");
    ExpectNoPassword("relaying");
    EXPECT_EQ(client.pPeer->Received(), std::string(kProxyGreeting) + std::string(kPasswordPrompt) +
                                            std::string(kLoggedIn) +
                                            "+OK 1\r\nSubject: 1\r\n\r\n..dot\r\n.\r\n");
}

INSTANTIATE_TEST_SUITE_P(
    Deliveries, PasswordHygiene,
    ::testing::Values(
        Delivery{"LineByLine", {"USER mrose\r\n", "PASS tanstaaf\r\n"}, ""},
        Delivery{"OneSegmentWithACommandBehind",
                 {"USER mrose\r\nPASS tanstaaf\r\nSTAT\r\n"},
                 "STAT\r\n"},
        Delivery{"InPieces", {"USER mrose\r\nPA", "SS tans", "taaf\r", "\nLIST\r\n"}, "LIST\r\n"}),
    [](const ::testing::TestParamInfo<Delivery>& info) { return std::string(info.param.pszName); });

using LingeringClose = FaultTest;

TEST_F(LingeringClose, WhatAClosedConnectionStillReceivesIsWiped) {
    CListenSocket* pListener = StartListener("127.0.0.1", m_nServerPort);
    ASSERT_TRUE(pListener);
    Client client;
    ASSERT_TRUE(Connect(pListener, client));
    ASSERT_TRUE(Login(client, 0));
    // Output the client does not read, so the session's end leaves it queued.
    int nSmall = 16 * 1024;
    setsockopt(pListener->FindSession(client.nId)->m_hSocket, SOL_SOCKET, SO_SNDBUF, &nSmall,
               sizeof nSmall);
    client.pPeer->SetReading(false);
    std::string strMessage = "+OK\r\n" + std::string(256 * 1024, 'm') + "\r\n.\r\n";
    Server(0).Send(strMessage);
    RunFor(300ms);
    m_listeners.clear();  // as Apply does
    ASSERT_GT(m_pLoop->LingeringCount(), 0u);

    client.pPeer->Send("PASS tanstaaf\r\n");
    RunFor(200ms);
    EXPECT_FALSE(ContainsPiece(m_pLoop->Scratch(), EventLoop::kScratchSize, kPassword, 5));
    client.pPeer->SetReading(true);
    EXPECT_TRUE(Pump([&] { return client.pPeer->IsClosedByPeer(); }));
    std::string strExpected =
        std::string(kProxyGreeting) + std::string(kPasswordPrompt) + std::string(kLoggedIn);
    EXPECT_EQ(client.pPeer->Received().substr(0, strExpected.size()), strExpected);
}

using FailedLink = FaultTest;

TEST_F(FailedLink, PasswordIsGoneOnceTheServerCannotBeReached) {
    int hClosed = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t nLength = sizeof address;
    ASSERT_EQ(bind(hClosed, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    getsockname(hClosed, reinterpret_cast<sockaddr*>(&address), &nLength);
    int nClosedPort = ntohs(address.sin_port);
    close(hClosed);  // nothing listens there

    struct Case {
        std::string strHost;
        int nPort;
        std::string strReport;
    };
    for (const Case& c :
         {Case{"pop.nowhere", m_nServerPort, "(11001)"}, Case{"127.0.0.1", nClosedPort, "(111)"}}) {
        CListenSocket* pListener = StartListener(c.strHost, c.nPort);
        ASSERT_TRUE(pListener);
        Client client;
        ASSERT_TRUE(Connect(pListener, client));
        std::size_t nReports = m_wnd.m_reports.size();
        client.pPeer->Send("USER mrose\r\nPASS tanstaaf\r\n");
        ASSERT_TRUE(Pump([&] { return m_wnd.m_reports.size() > nReports; })) << c.strHost;
        EXPECT_EQ(m_wnd.m_reports.back(), "Cannot connect " + c.strHost + ":" +
                                              std::to_string(c.nPort) + " " + c.strReport);
        // The session stays open and silent, for up to the login timeout: it
        // has no more use for the password.
        CClientSocket* pSession = pListener->FindSession(client.nId);
        ASSERT_NE(pSession, nullptr) << c.strHost;
        EXPECT_FALSE(ContainsPiece(pSession, sizeof(CClientSocket), kPassword, 5)) << c.strHost;
        EXPECT_FALSE(ContainsPiece(pSession->GetServer(), sizeof(CServerSocket), kPassword, 5))
            << c.strHost;
        EXPECT_STREQ(pSession->GetServer()->GetUser(), "mrose") << c.strHost;
    }
    EXPECT_EQ(ServerConnections(), 0u);
}

}  // namespace
}  // namespace faults
