#pragma once

// A proxy on the real EventLoop between a scripted mail client and a scripted
// POP3 server, all on loopback and all on the test's one thread: every wait
// runs the loop and moves the scripted peers' bytes until a condition holds or
// a time limit passes.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "event_loop.h"
#include "listen_socket.h"
#include "loopback_peer.h"

namespace harness {

using namespace loopback;

// Generous: the machine is shared, and a wait that succeeds returns at once.
inline constexpr auto kWaitLimit = 5s;

// Deletes ended sessions through the listener; m_fnBeforeHandling sees each
// notice first.
class CTestWnd : public CNoticeRecorder {
public:
    CListenSocket* m_pListener = nullptr;
    std::function<void(WPARAM, LPARAM)> m_fnBeforeHandling;

protected:
    void OnNotice(WPARAM wParam, LPARAM lParam) override {
        if (m_fnBeforeHandling)
            m_fnBeforeHandling(wParam, lParam);
        if (wParam == 0 && m_pListener != nullptr)
            m_pListener->RemoveSession(lParam);
    }
};

// A session seen from both scripted ends.
struct Session {
    CPeer* pClient = nullptr;
    CPeer* pServer = nullptr;
    LPARAM nId = 0;
};

class LoopbackTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_hMainWnd = &m_wnd;
        m_hServerListen = ListenOnLoopback(m_nServerPort);
        ASSERT_GE(m_hServerListen, 0) << std::strerror(errno);
        ASSERT_TRUE(StartProxy("127.0.0.1", m_nServerPort));
    }

    void TearDown() override {
        m_pListener.reset();
        m_wnd.m_pListener = nullptr;
        g_hMainWnd = nullptr;
        m_peers.clear();
        if (m_hServerListen >= 0)
            close(m_hServerListen);
    }

    // Replaces the listener (as Apply does) with one for this server.
    bool StartProxy(const std::string& strHost, int nHostPort) {
        m_pListener.reset();
        m_pListener = std::make_unique<CListenSocket>(strHost, nHostPort);
        m_wnd.m_pListener = m_pListener.get();
        if (!m_pListener->StartListening(0))
            return false;
        m_nProxyPort = m_pListener->GetLocalPort();
        return m_nProxyPort != 0;
    }

    // Runs the loop until pred holds or the limit passes; false on the limit.
    bool Pump(const std::function<bool()>& pred, Clock::duration limit = kWaitLimit) {
        auto tEnd = Clock::now() + limit;
        for (;;) {
            PollPeers();
            if (pred())
                return true;
            if (Clock::now() >= tEnd)
                return false;
            m_loop.RunOnce(10);
            ++m_nIterations;
        }
    }

    // Lets whatever is under way settle, for steps whose effect is an absence.
    void Settle(Clock::duration span = 50ms) {
        Pump([] { return false; }, span);
    }

    // Loop turns taken in span; a loop with nothing to do sleeps out its
    // timeouts, so a spinning one shows as a count far above span / 10 ms.
    long CountIterations(Clock::duration span) {
        m_nIterations = 0;
        Settle(span);
        return m_nIterations;
    }

    void PollPeers() {
        for (auto& pPeer : m_peers) pPeer->Poll();
    }

    CPeer& Adopt(int fd) {
        m_peers.push_back(std::make_unique<CPeer>(fd));
        return *m_peers.back();
    }

    // A mail client connected to the proxy (or to nPort).
    CPeer& Connect(int nPort = 0) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int nReceiveBuffer = m_nClientReceiveBuffer;
        if (nReceiveBuffer > 0) {
            setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &nReceiveBuffer, sizeof nReceiveBuffer);
        }
        sockaddr_in address = Loopback(nPort != 0 ? nPort : m_nProxyPort);
        // Loopback with a listening socket: the handshake completes without an accept.
        EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0)
            << std::strerror(errno);
        int nOn = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &nOn, sizeof nOn);
        return Adopt(fd);
    }

    // The next connection the proxy makes to the scripted server, or null.
    CPeer* AcceptServer() {
        int fd = -1;
        Pump([&] {
            fd = accept4(m_hServerListen, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            return fd >= 0;
        });
        if (fd < 0) {
            ADD_FAILURE() << "the proxy never connected to the server";
            return nullptr;
        }
        int nSendBuffer = m_nServerSendBuffer;
        if (nSendBuffer > 0)
            setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &nSendBuffer, sizeof nSendBuffer);
        int nOn = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &nOn, sizeof nOn);
        return &Adopt(fd);
    }

    // True when the server has a connection waiting that nobody accepted.
    bool ServerHasPendingConnection() {
        int fd = accept4(m_hServerListen, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0)
            return false;
        Adopt(fd);
        return true;
    }

    bool WaitReceived(CPeer& peer, std::size_t nBytes) {
        return Pump([&] { return peer.Received().size() >= nBytes || peer.IsClosedByPeer(); }) &&
               peer.Received().size() >= nBytes;
    }
    // Waits until the peer has received as many bytes as text holds; true
    // when they are exactly text.
    bool WaitText(CPeer& peer, std::string_view text) {
        return WaitReceived(peer, text.size()) && peer.Received() == text;
    }
    bool WaitClosed(CPeer& peer) {
        return Pump([&] { return peer.IsClosedByPeer(); });
    }
    bool WaitEnded(LPARAM nId) {
        return Pump([&] { return m_pListener->FindSession(nId) == nullptr; });
    }

    // A mail client connected and greeted; its greeting is taken off.
    bool OpenClient(Session& session) {
        std::size_t nOpened = m_wnd.m_notices.size();
        session.pClient = &Connect();
        if (!WaitText(*session.pClient, kProxyGreeting) ||
            session.pClient->TakeReceived() != kProxyGreeting) {
            ADD_FAILURE() << "no greeting from the proxy";
            return false;
        }
        if (!Pump([&] { return m_wnd.m_notices.size() > nOpened; }))
            return false;
        session.nId = m_wnd.LastOpened();
        return session.nId != 0;
    }

    // Runs USER and PASS up to the APOP command on the server, which the
    // server has then received (and which is taken off).
    bool StartLogin(Session& session, std::string_view user = kUser,
                    std::string_view password = kPassword,
                    std::string_view greeting = kRfcGreeting) {
        if (!OpenClient(session))
            return false;
        session.pClient->Send("USER " + std::string(user) + "\r\n");
        if (!WaitText(*session.pClient, kPasswordPrompt) ||
            session.pClient->TakeReceived() != kPasswordPrompt) {
            ADD_FAILURE() << "no answer to USER";
            return false;
        }
        session.pClient->Send("PASS " + std::string(password) + "\r\n");
        session.pServer = AcceptServer();
        if (session.pServer == nullptr)
            return false;
        session.pServer->Send(greeting);
        if (!Pump([&] { return session.pServer->Received().find("\r\n") != std::string::npos; })) {
            ADD_FAILURE() << "no APOP command";
            return false;
        }
        return true;
    }

    // A whole login with RFC 1939's example; afterwards both ends have
    // received nothing that is still to be looked at.
    bool Login(Session& session) {
        if (!StartLogin(session))
            return false;
        if (session.pServer->TakeReceived() != kRfcApop) {
            ADD_FAILURE() << "wrong APOP command";
            return false;
        }
        session.pServer->Send(kLoggedIn);
        if (!WaitText(*session.pClient, kLoggedIn))
            return false;
        session.pClient->TakeReceived();
        return true;
    }

    EventLoop m_loop;
    CTestWnd m_wnd;
    std::unique_ptr<CListenSocket> m_pListener;
    std::vector<std::unique_ptr<CPeer>> m_peers;
    int m_hServerListen = -1;
    int m_nServerPort = 0;
    int m_nProxyPort = 0;
    long m_nIterations = 0;
    // Small socket buffers for the scripted ends (0: the system's), so that a
    // peer that stops reading soon holds up the proxy.
    int m_nClientReceiveBuffer = 0;
    int m_nServerSendBuffer = 0;
};

}  // namespace harness
