#pragma once

// Name lookups the test controls, in place of the system's resolver.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <thread>

#include "async_socket.h"  // the lookup error numbers
#include "event_loop.h"

namespace loopback {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// How long a slow name takes at least, and at most when never let go.
inline constexpr auto kSlowLookup = 2s;
inline constexpr auto kSlowLookupLimit = 20s;
// How long a timed name takes.
inline constexpr auto kTimedLookup = 1s;

// Names ending in ".fast" resolve to 127.0.0.1 at once, names ending in
// ".slow" too but only once let go and kSlowLookup has passed, names ending in
// ".timed" after kTimedLookup; names ending in ".twice" resolve to 127.0.0.2
// and then 127.0.0.1; names ending in ".stuck" stand for a resolver that is
// stuck until let go: a lookup begun before then waits and fails as a timed-out
// one does, a lookup begun after resolves at once; looking up a name ending in
// ".throws" throws; every other name does not resolve. Shared with the lookup threads, which may
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
    int StuckStarted() const { return m_nStuckStarted; }
    int StuckResolved() const { return m_nStuckResolved; }

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
        if (EndsWith(".stuck")) {
            std::unique_lock lock(m_mutex);
            if (!m_bLetGo) {
                ++m_nStuckStarted;
                m_cv.wait_for(lock, kSlowLookupLimit, [this] { return m_bLetGo; });
                return WSATRY_AGAIN;
            }
            lock.unlock();
            AddLoopback(addresses);
            ++m_nStuckResolved;
            return 0;
        }
        if (EndsWith(".throws")) {
            throw std::bad_alloc();
        }
        if (EndsWith(".fast")) {
            AddLoopback(addresses);
            return 0;
        }
        if (EndsWith(".twice")) {
            AddLoopback(addresses, "127.0.0.2");
            AddLoopback(addresses);
            return 0;
        }
        return WSAHOST_NOT_FOUND;
    }

    static void AddLoopback(EventLoop::Addresses& addresses, const char* pszAddress = "127.0.0.1") {
        sockaddr_storage address{};
        auto* p4 = reinterpret_cast<sockaddr_in*>(&address);
        p4->sin_family = AF_INET;
        inet_pton(AF_INET, pszAddress, &p4->sin_addr);
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
    std::atomic<int> m_nStuckStarted{0};
    std::atomic<int> m_nStuckResolved{0};
};

}  // namespace loopback
