#pragma once

// The proxy on a real EventLoop with listeners of its own, a scripted POP3
// server and scripted mail clients on loopback, and a name-lookup seam whose
// slow names answer only when the test lets them (and never sooner than
// kSlowLookup). Everything but the lookups runs on the test's thread: each
// wait runs the loop and moves the peers' bytes until a condition holds or a
// limit passes.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "event_loop.h"
#include "listen_socket.h"
#include "loopback_peer.h"

namespace faults {

using namespace loopback;

// A wait that succeeds returns at once; the limit only bounds a failing test
// on a shared machine (and a sanitizer build).
inline constexpr auto kWaitLimit = 10s;

// How long a slow name takes at least, and at most when never let go.
inline constexpr auto kSlowLookup = 2s;
inline constexpr auto kSlowLookupLimit = 20s;
// How long a timed name takes.
inline constexpr auto kTimedLookup = 1s;

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

// Names ending in ".fast" resolve to 127.0.0.1 at once, names ending in
// ".slow" too but only once let go and kSlowLookup has passed, names ending in
// ".timed" after kTimedLookup; looking up a name ending in ".throws" throws;
// every other name does not resolve. Shared with the lookup threads, which may
// outlive the test's loop.
class CLookupSeam {
public:
    static EventLoop::LookupFunction Install(EventLoop& loop, std::shared_ptr<CLookupSeam> pSeam) {
        EventLoop::LookupFunction fn = [pSeam](const std::string& strHost,
                                               EventLoop::Addresses& addresses) {
            return pSeam->Resolve(strHost, addresses);
        };
        loop.SetLookupFunction(fn);
        return fn;
    }

    void LetGo() {
        std::lock_guard lock(m_mutex);
        m_bLetGo = true;
        m_cv.notify_all();
    }

    int SlowStarted() const { return m_nSlowStarted; }
    int SlowFinished() const { return m_nSlowFinished; }
    bool SlowFinishedByLimit() const { return m_bFinishedByLimit; }
    int TimedStarted() const { return m_nTimedStarted; }
    int TimedFinished() const { return m_nTimedFinished; }

private:
    int Resolve(const std::string& strHost, EventLoop::Addresses& addresses) {
        auto EndsWith = [&](std::string_view suffix) {
            return strHost.size() >= suffix.size() &&
                   std::string_view(strHost).substr(strHost.size() - suffix.size()) == suffix;
        };
        if (EndsWith(".slow")) {
            ++m_nSlowStarted;
            auto tStart = Clock::now();
            std::this_thread::sleep_for(kSlowLookup);
            std::unique_lock lock(m_mutex);
            if (!m_cv.wait_until(lock, tStart + kSlowLookupLimit, [this] { return m_bLetGo; })) {
                m_bFinishedByLimit = true;
            }
            lock.unlock();
            AddLoopback(addresses);
            ++m_nSlowFinished;
            return 0;
        }
        if (EndsWith(".timed")) {
            ++m_nTimedStarted;
            std::this_thread::sleep_for(kTimedLookup);
            AddLoopback(addresses);
            ++m_nTimedFinished;
            return 0;
        }
        if (EndsWith(".throws")) {
            throw std::bad_alloc();
        }
        if (EndsWith(".fast")) {
            AddLoopback(addresses);
            return 0;
        }
        return WSAHOST_NOT_FOUND;
    }

    static void AddLoopback(EventLoop::Addresses& addresses) {
        sockaddr_storage address{};
        auto* p4 = reinterpret_cast<sockaddr_in*>(&address);
        p4->sin_family = AF_INET;
        p4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addresses.push_back(address);
    }

    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_bLetGo = false;
    std::atomic<int> m_nSlowStarted{0};
    std::atomic<int> m_nSlowFinished{0};
    std::atomic<bool> m_bFinishedByLimit{false};
    std::atomic<int> m_nTimedStarted{0};
    std::atomic<int> m_nTimedFinished{0};
};

// Deletes ended sessions through whichever listener holds them.
class CRecordingWnd : public CNoticeRecorder {
public:
    std::vector<std::unique_ptr<CListenSocket>>* m_pListeners = nullptr;

protected:
    void OnNotice(WPARAM wParam, LPARAM lParam) override {
        if (wParam != 0)
            return;
        for (auto& pListener : *m_pListeners) {
            if (pListener)
                pListener->RemoveSession(lParam);
        }
    }
};

// A mail client's connection and the session the proxy made of it.
struct Client {
    CPeer* pPeer = nullptr;
    LPARAM nId = 0;
    CListenSocket* pListener = nullptr;
};

class FaultTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_pLoop = std::make_unique<EventLoop>();
        ASSERT_EQ(EventLoop::Current(), m_pLoop.get());
        m_wnd.m_pListeners = &m_listeners;
        g_hMainWnd = &m_wnd;
        m_hServer = ListenOnLoopback(m_nServerPort);
        ASSERT_GE(m_hServer, 0) << std::strerror(errno);
        m_pSeam = std::make_shared<CLookupSeam>();
        CLookupSeam::Install(*m_pLoop, m_pSeam);
    }

    void TearDown() override {
        m_listeners.clear();
        m_pSeam->LetGo();
        m_pLoop.reset();
        g_hMainWnd = nullptr;
        m_clients.clear();
        m_servers.clear();
        if (m_hServer >= 0)
            close(m_hServer);
    }

    CListenSocket* StartListener(const std::string& strHost, int nHostPort) {
        auto pListener = std::make_unique<CListenSocket>(strHost, nHostPort);
        if (!pListener->StartListening(0)) {
            ADD_FAILURE() << "cannot start a listener";
            return nullptr;
        }
        m_listeners.push_back(std::move(pListener));
        return m_listeners.back().get();
    }

    // Connects a mail client and waits for the proxy's greeting.
    bool Connect(CListenSocket* pListener, Client& client) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address = Loopback(pListener->GetLocalPort());
        if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            close(fd);
            return false;
        }
        m_clients.push_back(std::make_unique<CPeer>(fd));
        client.pPeer = m_clients.back().get();
        client.pListener = pListener;
        std::size_t nOpened = m_wnd.CountNotices(1);
        if (!Pump([&] {
                return m_wnd.CountNotices(1) > nOpened &&
                       client.pPeer->Received().size() >= kProxyGreeting.size();
            })) {
            return false;
        }
        client.nId = m_wnd.LastOpened();
        return client.pPeer->Received() == kProxyGreeting;
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
            m_pLoop->RunOnce(5);
        }
    }

    // Runs the loop for a while, for checks that nothing happens.
    void RunFor(Clock::duration period) {
        Pump([] { return false; }, period);
    }

    bool WaitText(CPeer& peer, std::string_view text) {
        return Pump([&] { return peer.Received().find(text) != std::string::npos; });
    }

    // The scripted server's connections, in the order they were made.
    std::size_t ServerConnections() {
        PollPeers();
        return m_servers.size();
    }
    CPeer& Server(std::size_t i) { return *m_servers[i]; }

    // USER and PASS from the client, then the server's side of an APOP login;
    // nServer is the server connection this session is expected to make.
    bool Login(Client& client, std::size_t nServer) {
        client.pPeer->Send("USER mrose\r\nPASS tanstaaf\r\n");
        if (!Pump([&] { return ServerConnections() > nServer; }))
            return false;
        CPeer& server = Server(nServer);
        server.Send(kRfcGreeting);
        if (!WaitText(server, kRfcApop))
            return false;
        EXPECT_EQ(server.Received(), kRfcApop);
        server.Send(kLoggedIn);
        return WaitText(*client.pPeer, kLoggedIn);
    }

    // A command from the client and a multi-line answer from the server go through.
    void ExpectRelay(Client& client, CPeer& server, const std::string& strTag) {
        std::string strCommand = "RETR " + strTag + "\r\n";
        std::string strAnswer =
            "+OK " + strTag + "\r\nSubject: " + strTag + "\r\n\r\n..dot\r\n.\r\n";
        client.pPeer->Send(strCommand);
        EXPECT_TRUE(WaitText(server, strCommand)) << strTag;
        server.Send(strAnswer);
        EXPECT_TRUE(WaitText(*client.pPeer, strAnswer)) << strTag;
    }

    std::unique_ptr<EventLoop> m_pLoop;
    std::shared_ptr<CLookupSeam> m_pSeam;
    CRecordingWnd m_wnd;
    std::vector<std::unique_ptr<CListenSocket>> m_listeners;
    int m_hServer = -1;
    int m_nServerPort = 0;

private:
    void PollPeers() {
        for (;;) {
            int fd = accept4(m_hServer, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0)
                break;
            m_servers.push_back(std::make_unique<CPeer>(fd));
        }
        for (auto& pPeer : m_clients) pPeer->Poll();
        for (auto& pPeer : m_servers) pPeer->Poll();
    }

    std::vector<std::unique_ptr<CPeer>> m_clients;
    std::vector<std::unique_ptr<CPeer>> m_servers;
};

}  // namespace faults
