#pragma once

// A proxy on the real EventLoop between a scripted mail client and a scripted
// POP3 server, all on loopback and all on the test's one thread: every wait
// runs the loop and moves the scripted peers' bytes until a condition holds or
// a time limit passes.

#include <arpa/inet.h>
#include <fcntl.h>
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
#include <utility>
#include <vector>

#include "event_loop.h"
#include "listen_socket.h"
#include "notice.h"

namespace harness {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// RFC 1939's APOP example.
inline constexpr std::string_view kRfcGreeting =
    "+OK POP3 server ready <1896.697170952@dbc.mtview.ca.us>\r\n";
inline constexpr std::string_view kRfcApop = "APOP mrose c4c9334bac560ecc979e58001b3e22fb\r\n";
inline constexpr std::string_view kProxyGreeting = "+OK Postern 1.0 Ready\r\n";
inline constexpr std::string_view kPasswordPrompt = "+OK Password\r\n";

// Generous: the machine is shared, and a wait that succeeds returns at once.
inline constexpr auto kWaitLimit = 5s;

// One end of a loopback connection, played by the test. Non-blocking: Poll
// reads what is waiting (while reading is on) and writes what is queued.
class CPeer {
public:
    explicit CPeer(int fd) : m_fd(fd) { fcntl(m_fd, F_SETFL, fcntl(m_fd, F_GETFL) | O_NONBLOCK); }
    ~CPeer() { Close(); }
    CPeer(const CPeer&) = delete;
    CPeer& operator=(const CPeer&) = delete;

    void Send(std::string_view bytes) {
        m_strOut.append(bytes);
        Poll();
    }

    void Poll() {
        if (m_fd < 0)
            return;
        while (m_nOutOffset < m_strOut.size()) {
            ssize_t n = send(m_fd, m_strOut.data() + m_nOutOffset, m_strOut.size() - m_nOutOffset,
                             MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) {
                m_nOutOffset += std::size_t(n);
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else {
                break;
            }
        }
        if (m_nOutOffset == m_strOut.size()) {
            m_strOut.clear();
            m_nOutOffset = 0;
        }
        while (m_bReading && !m_bEof) {
            char buffer[64 * 1024];
            ssize_t n = recv(m_fd, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n > 0) {
                m_strIn.append(buffer, std::size_t(n));
            } else if (n == 0) {
                m_bEof = true;
            } else if (errno == EINTR) {
                continue;
            } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
                break;
            } else {
                m_bEof = true;  // reset
            }
        }
    }

    void Close() {
        if (m_fd >= 0)
            close(m_fd);
        m_fd = -1;
    }

    // Closes with a reset instead of an orderly close.
    void Reset() {
        linger hard{1, 0};
        setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        Close();
    }

    void SetReading(bool bReading) { m_bReading = bReading; }
    // The other side has closed (or reset) the connection.
    bool IsClosedByPeer() const { return m_bEof; }
    const std::string& Received() const { return m_strIn; }
    std::string TakeReceived() { return std::exchange(m_strIn, {}); }
    std::size_t Unsent() const { return m_strOut.size() - m_nOutOffset; }
    int Fd() const { return m_fd; }

private:
    int m_fd;
    std::string m_strIn;
    std::string m_strOut;
    std::size_t m_nOutOffset = 0;
    bool m_bReading = true;
    bool m_bEof = false;
};

// Stands in for the shell: records notices and reports, and deletes ended
// sessions through the listener as the shell's handler does.
class CTestWnd : public CNoticeWnd {
public:
    struct Notice {
        WPARAM wParam;
        LPARAM lParam;
    };

    LRESULT OnSessionNotify(WPARAM wParam, LPARAM lParam) override {
        m_notices.push_back({wParam, lParam});
        if (m_fnBeforeHandling)
            m_fnBeforeHandling(wParam, lParam);
        if (wParam == 0 && m_pListener != nullptr)
            m_pListener->RemoveSession(lParam);
        return 0;
    }
    void OnReport(const std::string& strText) override { m_reports.push_back(strText); }

    std::size_t CountNotices(WPARAM wParam, LPARAM lParam) const {
        std::size_t n = 0;
        for (const Notice& notice : m_notices)
            n += notice.wParam == wParam && notice.lParam == lParam;
        return n;
    }

    CListenSocket* m_pListener = nullptr;
    std::function<void(WPARAM, LPARAM)> m_fnBeforeHandling;
    std::vector<Notice> m_notices;
    std::vector<std::string> m_reports;
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
        m_hServerListen = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in address = Loopback(0);
        ASSERT_EQ(bind(m_hServerListen, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        ASSERT_EQ(listen(m_hServerListen, SOMAXCONN), 0);
        socklen_t nLength = sizeof address;
        getsockname(m_hServerListen, reinterpret_cast<sockaddr*>(&address), &nLength);
        m_nServerPort = ntohs(address.sin_port);
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

    static sockaddr_in Loopback(int nPort) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(std::uint16_t(nPort));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return address;
    }

    // Replaces the listener (as Apply does) with one for this server.
    bool StartProxy(const std::string& strHost, int nHostPort) {
        m_pListener.reset();
        m_pListener = std::make_unique<CListenSocket>(strHost, nHostPort);
        m_wnd.m_pListener = m_pListener.get();
        if (!m_pListener->Create(0, SOCK_STREAM, 63))
            return false;
        if (listen(m_pListener->m_hSocket, SOMAXCONN) != 0)
            return false;
        m_pListener->AsyncSelect(FD_READ | FD_ACCEPT | FD_CLOSE);
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

    // The session opened most recently, by its open notice.
    LPARAM LastOpened() const {
        for (auto it = m_wnd.m_notices.rbegin(); it != m_wnd.m_notices.rend(); ++it) {
            if (it->wParam == 1)
                return it->lParam;
        }
        return 0;
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
        session.nId = LastOpened();
        return session.nId != 0;
    }

    // Runs USER and PASS up to the APOP command on the server, which the
    // server has then received (and which is taken off).
    bool StartLogin(Session& session, std::string_view user = "mrose",
                    std::string_view password = "tanstaaf",
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
        session.pServer->Send("+OK mrose's maildrop has 2 messages (320 octets)\r\n");
        if (!WaitText(*session.pClient, "+OK mrose's maildrop has 2 messages (320 octets)\r\n")) {
            return false;
        }
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
