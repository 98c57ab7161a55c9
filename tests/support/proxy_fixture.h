#pragma once

// The proxy on the real EventLoop between scripted mail clients and a scripted
// POP3 server, all on loopback and all on the test's one thread: every wait
// runs the loop and moves the scripted peers' bytes until a condition holds or
// a time limit passes. Name lookups go through a seam whose slow names answer
// only when the test lets them (and never sooner than kSlowLookup).

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "event_loop.h"
#include "listen_socket.h"
#include "lookup_seam.h"
#include "loopback_peer.h"
#include "socket_error_text.h"

namespace loopback {

// A wait that succeeds returns at once; the limit only bounds a failing test
// on a shared machine (and a sanitizer build).
inline constexpr auto kWaitLimit = 10s;

inline bool Contains(const void* p, std::size_t n, std::string_view needle) {
    std::string_view haystack(static_cast<const char*>(p), n);
    return haystack.find(needle) != std::string_view::npos;
}

// Whether any nLength characters in a row of the secret are among the n bytes at p.
inline bool ContainsPiece(const void* p, std::size_t n, std::string_view secret,
                          std::size_t nLength) {
    for (std::size_t i = 0; i + nLength <= secret.size(); ++i) {
        if (Contains(p, n, secret.substr(i, nLength)))
            return true;
    }
    return false;
}

// The report of a connection to host:port that failed with nError.
inline std::string ConnectReport(const std::string& strHost, int nPort, int nError) {
    return "Cannot connect " + strHost + ":" + std::to_string(nPort) + " (" +
           std::to_string(nError) + "): " + SocketErrorText(nError);
}

// Deletes ended sessions through whichever listener holds them, as the shell
// does; m_fnBeforeHandling sees each notice first.
class CTestWnd : public CNoticeRecorder {
public:
    std::vector<std::unique_ptr<CListenSocket>>* m_pListeners = nullptr;
    std::function<void(WPARAM, LPARAM)> m_fnBeforeHandling;

protected:
    void OnNotice(WPARAM wParam, LPARAM lParam) override {
        if (m_fnBeforeHandling)
            m_fnBeforeHandling(wParam, lParam);
        if (wParam != 0)
            return;
        for (auto& pListener : *m_pListeners) pListener->RemoveSession(lParam);
    }
};

// The relay works the same way in both directions; a case written once runs over both.
enum class Direction { kToServer, kToClient };
inline constexpr Direction kBothDirections[] = {Direction::kToServer, Direction::kToClient};
inline const char* Name(Direction direction) {
    return direction == Direction::kToServer ? "mail client to server" : "server to mail client";
}

// A session seen from both scripted ends.
struct Session {
    CPeer* pClient = nullptr;
    CPeer* pServer = nullptr;
    LPARAM nId = 0;

    // The end that sends in that direction, and the end that reads.
    CPeer& From(Direction direction) const {
        return direction == Direction::kToServer ? *pClient : *pServer;
    }
    CPeer& To(Direction direction) const {
        return direction == Direction::kToServer ? *pServer : *pClient;
    }
};

// Starts with one listener, m_pListener, in front of the scripted server.
class ProxyTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_pLoop = std::make_unique<EventLoop>();
        ASSERT_EQ(EventLoop::Current(), m_pLoop.get());
        m_wnd.m_pListeners = &m_listeners;
        g_hMainWnd = &m_wnd;
        m_hServerListen = ListenOnLoopback(m_nServerPort);
        ASSERT_NE(m_hServerListen, INVALID_SOCKET) << SocketErrorText(sys::LastError());
        m_pSeam = std::make_shared<CLookupSeam>();
        CLookupSeam::Install(*m_pLoop, m_pSeam);
        ASSERT_TRUE(StartProxy("127.0.0.1", m_nServerPort));
    }

    void TearDown() override {
        m_listeners.clear();
        if (m_pSeam)
            m_pSeam->LetGo();
        m_pLoop.reset();
        g_hMainWnd = nullptr;
        m_clients.clear();
        m_servers.clear();
        if (m_hServerListen != INVALID_SOCKET)
            sys::CloseSocket(m_hServerListen);
        if (m_hClosed != INVALID_SOCKET)
            sys::CloseSocket(m_hClosed);
    }

    // A port on which nothing listens: bound, so nobody else takes it.
    int ClosedPort() {
        if (m_hClosed == INVALID_SOCKET)
            m_hClosed = sys::OpenStreamSocket(AF_INET);
        sockaddr_in address = Loopback(0);
        bind(m_hClosed, reinterpret_cast<sockaddr*>(&address), sizeof address);
        socklen_t nLength = sizeof address;
        getsockname(m_hClosed, reinterpret_cast<sockaddr*>(&address), &nLength);
        return ntohs(address.sin_port);
    }

    // One more listener, beside the others, for that server.
    CListenSocket* StartListener(const std::string& strHost, int nHostPort) {
        auto pListener = std::make_unique<CListenSocket>(strHost, nHostPort);
        if (!pListener->StartListening(0)) {
            ADD_FAILURE() << "cannot start a listener";
            return nullptr;
        }
        m_listeners.push_back(std::move(pListener));
        return m_listeners.back().get();
    }

    // A listener for each name, in front of the scripted server.
    template <std::size_t N>
    std::array<CListenSocket*, N> StartListeners(const char* const (&names)[N]) {
        std::array<CListenSocket*, N> listeners{};
        for (std::size_t i = 0; i < N; ++i) listeners[i] = StartListener(names[i], m_nServerPort);
        return listeners;
    }

    // Deletes a listener with its sessions, as Apply does.
    void RemoveListener(CListenSocket* pListener) {
        if (pListener == m_pListener)
            m_pListener = nullptr;
        std::erase_if(m_listeners, [&](const auto& p) { return p.get() == pListener; });
    }

    // Replaces m_pListener (as Apply does) with one for this server.
    bool StartProxy(const std::string& strHost, int nHostPort) {
        RemoveListener(m_pListener);
        m_pListener = StartListener(strHost, nHostPort);
        m_nProxyPort = m_pListener != nullptr ? m_pListener->GetLocalPort() : 0;
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
            m_pLoop->RunOnce(10);
            ++m_nIterations;
        }
    }

    // Runs the loop for a while, for steps whose effect is an absence.
    void RunFor(Clock::duration span = 50ms) {
        Pump([] { return false; }, span);
    }

    // Loop turns taken in span; a loop with nothing to do sleeps out its
    // timeouts, so a spinning one shows as a count far above span / 10 ms.
    long CountIterations(Clock::duration span) {
        m_nIterations = 0;
        RunFor(span);
        return m_nIterations;
    }

    // Until the peer has received as many bytes as text holds; true when they are exactly text.
    bool WaitText(CPeer& peer, std::string_view text) {
        return WaitReceived(peer, text.size()) && peer.Received() == text;
    }
    // Until text is somewhere in what the peer has received.
    bool WaitContains(CPeer& peer, std::string_view text) {
        return Pump([&] { return peer.Received().find(text) != std::string::npos; });
    }
    // A line sent in two pieces: nothing reaches `to` before the second, then exactly strLine.
    void ExpectHeldUntilTheRest(CPeer& from, CPeer& to, std::string_view head,
                                std::string_view rest, std::string_view strLine) {
        from.Send(head);
        RunFor();
        EXPECT_EQ(to.Received(), "");
        from.Send(rest);
        EXPECT_TRUE(WaitText(to, strLine));
    }
    bool WaitReceived(CPeer& peer, std::size_t nBytes) {
        return Pump([&] { return peer.Received().size() >= nBytes || peer.IsClosedByPeer(); }) &&
               peer.Received().size() >= nBytes;
    }
    bool WaitClosed(CPeer& peer) {
        return Pump([&] { return peer.IsClosedByPeer(); });
    }
    // Until m_pListener no longer holds the session.
    bool WaitEnded(LPARAM nId) {
        return Pump([&] { return m_pListener->FindSession(nId) == nullptr; });
    }

    CPeer& Adopt(SOCKET fd) {
        m_clients.push_back(std::make_unique<CPeer>(fd));
        return *m_clients.back();
    }

    // A mail client connected to m_pListener (or to nPort).
    CPeer& Connect(int nPort = 0) {
        SOCKET fd = sys::OpenStreamSocket(AF_INET);
        loopback::SetBlocking(fd, true);
        sockaddr_in address = Loopback(nPort != 0 ? nPort : m_nProxyPort);
        // Loopback with a listening socket: the handshake completes without an accept.
        EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0)
            << SocketErrorText(sys::LastError());
        sys::SetOption(fd, IPPROTO_TCP, TCP_NODELAY, 1);
        return Adopt(fd);
    }

    // A mail client connected to pListener (m_pListener when null), its open
    // notice seen and its greeting taken off.
    bool OpenClient(Session& session, CListenSocket* pListener = nullptr) {
        std::size_t nOpened = m_wnd.CountNotices(1);
        session.pClient = &Connect(pListener != nullptr ? pListener->GetLocalPort() : 0);
        if (!WaitText(*session.pClient, kProxyGreeting) ||
            session.pClient->TakeReceived() != kProxyGreeting) {
            ADD_FAILURE() << "no greeting from the proxy";
            return false;
        }
        if (!Pump([&] { return m_wnd.CountNotices(1) > nOpened; }))
            return false;
        session.nId = m_wnd.LastOpened();
        return session.nId != 0;
    }

    // A mail client opened as OpenClient does that sends USER and PASS in one segment.
    bool OpenWithPass(Session& session, CListenSocket* pListener = nullptr) {
        if (!OpenClient(session, pListener))
            return false;
        session.pClient->Send("USER mrose\r\nPASS tanstaaf\r\n");
        return true;
    }

    // OpenWithPass, and the connection to the scripted server that follows.
    bool OpenToServer(Session& session, CListenSocket* pListener = nullptr) {
        if (!OpenWithPass(session, pListener))
            return false;
        session.pServer = AcceptServer();
        return session.pServer != nullptr;
    }

    // The proxy's connections to the scripted server, in the order they were made.
    std::size_t ServerConnections() {
        PollPeers();
        return m_servers.size();
    }

    // The next connection the proxy makes to the scripted server, or null.
    CPeer* AcceptServer(Clock::duration limit = kWaitLimit) {
        if (!Pump([&] { return m_servers.size() > m_nServersTaken; }, limit)) {
            ADD_FAILURE() << "the proxy never connected to the server";
            return nullptr;
        }
        return m_servers[m_nServersTaken++].get();
    }

    // True when the proxy has connected to the server once more than AcceptServer took.
    bool ServerHasPendingConnection() { return ServerConnections() > m_nServersTaken; }

    // Runs USER and PASS (opening the client first if need be) up to the APOP
    // command on the server, which the server has then received.
    bool StartLogin(Session& session, std::string_view user = kUser,
                    std::string_view password = kPassword,
                    std::string_view greeting = kRfcGreeting) {
        if (session.pClient == nullptr && !OpenClient(session))
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

    // A whole login with RFC 1939's example, through pListener when the
    // client is still to be opened; afterwards both ends have received
    // nothing that is still to be looked at.
    bool Login(Session& session, CListenSocket* pListener = nullptr) {
        if (session.pClient == nullptr && !OpenClient(session, pListener))
            return false;
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

    // A command from the client and a multi-line answer from the server go through.
    void ExpectRelay(Session& session, const std::string& strTag) {
        std::string strCommand = "RETR " + strTag + "\r\n";
        std::string strAnswer =
            "+OK " + strTag + "\r\nSubject: " + strTag + "\r\n\r\n..dot\r\n.\r\n";
        session.pClient->Send(strCommand);
        EXPECT_TRUE(WaitContains(*session.pServer, strCommand)) << strTag;
        session.pServer->Send(strAnswer);
        EXPECT_TRUE(WaitContains(*session.pClient, strAnswer)) << strTag;
    }

    std::unique_ptr<EventLoop> m_pLoop;
    std::shared_ptr<CLookupSeam> m_pSeam;
    CTestWnd m_wnd;
    std::vector<std::unique_ptr<CListenSocket>> m_listeners;
    CListenSocket* m_pListener = nullptr;
    SOCKET m_hServerListen = INVALID_SOCKET;
    int m_nServerPort = 0;
    int m_nProxyPort = 0;
    long m_nIterations = 0;

private:
    void PollPeers() {
        for (;;) {
            SOCKET fd = sys::AcceptConnection(m_hServerListen);
            if (fd == INVALID_SOCKET)
                break;
            sys::SetOption(fd, IPPROTO_TCP, TCP_NODELAY, 1);
            m_servers.push_back(std::make_unique<CPeer>(fd));
        }
        for (auto& pPeer : m_clients) pPeer->Poll();
        for (auto& pPeer : m_servers) pPeer->Poll();
    }

    std::vector<std::unique_ptr<CPeer>> m_clients;
    std::vector<std::unique_ptr<CPeer>> m_servers;
    std::size_t m_nServersTaken = 0;
    SOCKET m_hClosed = INVALID_SOCKET;
};

}  // namespace loopback
