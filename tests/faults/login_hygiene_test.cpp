// A login that is not finished in time ends its session; a finished one is
// left to the server. The password is gone from the session's memory and from
// the stack once the APOP command is out, or once the server turns out to be
// out of reach; the user name stays. A closed connection's last input is wiped.

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <ostream>
#include <string>
#include <tuple>
#include <vector>

#include "client_socket.h"
#include "proxy_fixture.h"
#include "server_socket.h"

namespace faults {
namespace {

using namespace loopback;

using LoginTimeout = ProxyTest;

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
    EXPECT_EQ(CSessionTable::kUserTimeout, std::chrono::seconds(60));
    constexpr auto kTimeout = 900ms;
    constexpr auto kUserTimeout = 300ms;  // for a client that has not sent USER
    CListenSocket* pListener = StartListener("127.0.0.1", m_nServerPort);
    ASSERT_TRUE(pListener);
    pListener->SetLoginTimeout(kTimeout);
    pListener->SetUserTimeout(kUserTimeout);

    Session loggedIn;
    ASSERT_TRUE(Login(loggedIn, pListener));

    // Three that do not finish: a silent client, one that stops after USER,
    // and one whose server never answers the APOP command.
    auto tFirstConnect = Clock::now();
    Session silent, afterUser, unanswered;
    ASSERT_TRUE(OpenClient(silent, pListener));
    ASSERT_TRUE(OpenClient(afterUser, pListener));
    afterUser.pClient->Send("USER mrose\r\n");
    ASSERT_TRUE(OpenToServer(unanswered, pListener));
    CPeer& unansweredServer = *unanswered.pServer;
    unansweredServer.Send(kRfcGreeting);
    ASSERT_TRUE(WaitContains(unansweredServer, kRfcApop));

    Session* unfinished[] = {&silent, &afterUser, &unanswered};
    Clock::time_point tClosed[3] = {};
    bool bAllClosed = Pump(
        [&] {
            bool bAll = true;
            for (int i = 0; i < 3; ++i) {
                if (unfinished[i]->pClient->IsClosedByPeer() && tClosed[i] == Clock::time_point()) {
                    tClosed[i] = Clock::now();
                }
                bAll = bAll && unfinished[i]->pClient->IsClosedByPeer();
            }
            return bAll;
        },
        kTimeout + kWaitLimit);
    ASSERT_TRUE(bAllClosed);
    // Never before its time; how late is up to the machine.
    EXPECT_GE(tClosed[0] - tFirstConnect, kUserTimeout);
    EXPECT_LT(tClosed[0], tClosed[1]) << "the silent client outlived the one that sent USER";
    for (int i = 0; i < 3; ++i) {
        if (i > 0) {
            EXPECT_GE(tClosed[i] - tFirstConnect, kTimeout) << "client " << i;
        }
        EXPECT_TRUE(Pump([&] { return m_wnd.HasEnded(unfinished[i]->nId); })) << "client " << i;
        EXPECT_EQ(pListener->FindSession(unfinished[i]->nId), nullptr) << "client " << i;
    }
    EXPECT_EQ(silent.pClient->Received(), "");
    EXPECT_EQ(afterUser.pClient->Received(), kPasswordPrompt);
    EXPECT_EQ(unanswered.pClient->Received(), kPasswordPrompt);
    EXPECT_TRUE(Pump([&] { return unansweredServer.IsClosedByPeer(); }))
        << "the server link of an ended session stays open";

    // The logged-in session outlives several more periods of the timeout.
    RunFor(3 * kTimeout);
    EXPECT_FALSE(loggedIn.pClient->IsClosedByPeer());
    EXPECT_FALSE(m_wnd.HasEnded(loggedIn.nId));
    EXPECT_EQ(pListener->GetSessionCount(), 1u);
    ExpectRelay(loggedIn, "1");
    EXPECT_FALSE(loggedIn.pServer->IsClosedByPeer());
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

class PasswordHygiene : public ProxyTest, public ::testing::WithParamInterface<Delivery> {};

TEST_P(PasswordHygiene, PasswordAndNameAreGoneOnceApopIsSent) {
    const Delivery& delivery = GetParam();
    CListenSocket* pListener = StartListener("127.0.0.1", m_nServerPort);
    ASSERT_TRUE(pListener);
    Session client;
    ASSERT_TRUE(OpenClient(client, pListener));
    CClientSocket* pSession = pListener->FindSession(client.nId);
    ASSERT_NE(pSession, nullptr);

    std::string strSent;
    for (const std::string& strChunk : delivery.chunks) {
        client.pClient->Send(strChunk);
        strSent += strChunk;
        RunFor(30ms);
        // While the PASS line is incomplete it sits in the session's buffer,
        // which shows that the scan below looks where the password would be.
        std::size_t nPass = strSent.find("PASS ");
        if (nPass != std::string::npos && strSent.find('\r', nPass) == std::string::npos) {
            EXPECT_TRUE(Contains(pSession, sizeof(CClientSocket), strSent.substr(nPass)));
        }
    }
    client.pServer = AcceptServer();
    ASSERT_NE(client.pServer, nullptr);
    CServerSocket* pLink = pSession->GetServer();
    ASSERT_NE(pLink, nullptr);
    // Name and password are held together, apart from the link, until the greeting.
    EXPECT_TRUE(Contains(pLink->GetUser(), 2 * (CServerSocket::kMaxNameLength + 1), kPassword))
        << "needed until the greeting";

    CPeer& server = *client.pServer;
    server.Send(kRfcGreeting);
    ASSERT_TRUE(WaitContains(server, kRfcApop));
    auto ExpectNoPassword = [&](const char* pszWhen) {
        // Not even most of it: five characters of eight in a row.
        constexpr std::size_t kPiece = 5;
        EXPECT_FALSE(ContainsPiece(pSession, sizeof(CClientSocket), kPassword, kPiece)) << pszWhen;
        EXPECT_FALSE(ContainsPiece(pLink, sizeof(CServerSocket), kPassword, kPiece)) << pszWhen;
        EXPECT_FALSE(ContainsPiece(m_pLoop->Scratch(), EventLoop::kScratchSize, kPassword, kPiece))
            << pszWhen;
        std::string strStack = StackBelowHere();
        EXPECT_FALSE(ContainsPiece(strStack.data(), strStack.size(), kPassword, kPiece)) << pszWhen;
        EXPECT_STREQ(pLink->GetUser(), "") << pszWhen;
    };
    ExpectNoPassword("APOP sent");

    server.Send(kLoggedIn);
    ASSERT_TRUE(WaitContains(*client.pClient, kLoggedIn));
    EXPECT_TRUE(WaitContains(server, std::string(kRfcApop) + delivery.strPipelined));
    ExpectRelay(client, "1");
    ExpectNoPassword("relaying");
    EXPECT_EQ(client.pClient->Received(), std::string(kPasswordPrompt) + std::string(kLoggedIn) +
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

using LingeringClose = ProxyTest;

TEST_F(LingeringClose, WhatAClosedConnectionStillReceivesIsWiped) {
    CListenSocket* pListener = StartListener("127.0.0.1", m_nServerPort);
    ASSERT_TRUE(pListener);
    Session client;
    ASSERT_TRUE(Login(client, pListener));
    // Output the client does not read, so the session's end leaves it queued.
    int nSmall = 16 * 1024;
    setsockopt(pListener->FindSession(client.nId)->m_hSocket, SOL_SOCKET, SO_SNDBUF, &nSmall,
               sizeof nSmall);
    client.pClient->SetReading(false);
    std::string strMessage = "+OK\r\n" + std::string(256 * 1024, 'm') + "\r\n.\r\n";
    client.pServer->Send(strMessage);
    RunFor(300ms);
    m_listeners.clear();  // as Apply does
    ASSERT_GT(m_pLoop->LingeringCount(), 0u);

    client.pClient->Send("PASS tanstaaf\r\n");
    RunFor(200ms);
    EXPECT_FALSE(ContainsPiece(m_pLoop->Scratch(), EventLoop::kScratchSize, kPassword, 5));
    client.pClient->SetReading(true);
    EXPECT_TRUE(Pump([&] { return client.pClient->IsClosedByPeer(); }));
    // The login's lines were taken off; what was queued behind them comes in order.
    std::string strExpected = strMessage.substr(0, 64);
    EXPECT_EQ(client.pClient->Received().substr(0, strExpected.size()), strExpected);
}

using FailedLink = ProxyTest;

TEST_F(FailedLink, PasswordIsGoneOnceTheServerCannotBeReached) {
    int nClosedPort = ClosedPort();
    for (auto [strHost, nPort, nError] :
         {std::tuple{std::string("pop.nowhere"), m_nServerPort, int(WSAHOST_NOT_FOUND)},
          std::tuple{std::string("127.0.0.1"), nClosedPort, int(sys::kErrRefused)}}) {
        CListenSocket* pListener = StartListener(strHost, nPort);
        ASSERT_TRUE(pListener);
        Session client;
        ASSERT_TRUE(OpenClient(client, pListener));
        // The session has no more use for the password once it is told why:
        // look at it as its end notice comes, before it is deleted.
        bool bScanned = false;
        m_wnd.m_fnBeforeHandling = [&](WPARAM wParam, LPARAM lParam) {
            CClientSocket* pSession = pListener->FindSession(lParam);
            if (wParam != 0 || lParam != client.nId || pSession == nullptr)
                return;
            bScanned = true;
            EXPECT_FALSE(ContainsPiece(pSession, sizeof(CClientSocket), kPassword, 5)) << strHost;
            EXPECT_FALSE(ContainsPiece(pSession->GetServer(), sizeof(CServerSocket), kPassword, 5))
                << strHost;
            EXPECT_STREQ(pSession->GetServer()->GetUser(), "") << strHost;
        };
        client.pClient->Send("USER mrose\r\nPASS tanstaaf\r\n");
        EXPECT_TRUE(Pump([&] { return m_wnd.HasEnded(client.nId); })) << strHost;
        EXPECT_TRUE(bScanned) << strHost;
        m_wnd.m_fnBeforeHandling = nullptr;
        EXPECT_EQ(m_wnd.m_reports.back(),
                  "Cannot connect " + strHost + ":" + std::to_string(nPort) + " (" +
                      std::to_string(nError) + "): " + SocketErrorText(nError));
        EXPECT_TRUE(WaitClosed(*client.pClient));
        EXPECT_EQ(
            client.pClient->Received().rfind(std::string(kPasswordPrompt) + "-ERR [SYS/TEMP] ", 0),
            0u);
        EXPECT_FALSE(ContainsPiece(m_pLoop->Scratch(), EventLoop::kScratchSize, kPassword, 5));
    }
    EXPECT_EQ(ServerConnections(), 0u);
}

}  // namespace
}  // namespace faults
