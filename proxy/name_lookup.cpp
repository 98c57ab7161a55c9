#include "name_lookup.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

#include "lookup_errors.h"

namespace {

constexpr int kMaxLookupThreads = 4;
// Different names waiting for a lookup thread; one more fails at once.
constexpr std::size_t kMaxQueuedLookups = 64;
constexpr auto kLookupThreadIdle = std::chrono::seconds(30);

int DefaultLookup(const std::string& strHost, NameLookup::Addresses& addresses) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_ADDRCONFIG;
    addrinfo* pList = nullptr;
    int nResult = getaddrinfo(strHost.c_str(), nullptr, &hints, &pList);
    if (nResult != 0) {
        return sys::LookupError(nResult);
    }
    for (addrinfo* p = pList; p != nullptr; p = p->ai_next) {
        if (p->ai_addrlen <= sizeof(sockaddr_storage)) {
            sockaddr_storage address{};
            std::memcpy(&address, p->ai_addr, p->ai_addrlen);
            addresses.push_back(address);
        }
    }
    freeaddrinfo(pList);
    return addresses.empty() ? WSAHOST_NOT_FOUND : 0;
}

}  // namespace

// What the loop shares with its lookup threads; outlives the loop while a
// lookup is still running.
struct NameLookup::Shared {
    struct Result {
        std::string strHost;
        int nError;
        Addresses addresses;
    };

    std::mutex mutex;
    std::condition_variable wakeWorkers;
    std::function<void()> fnWake;  // null once the loop is gone
    LookupFunction fnLookup = DefaultLookup;
    std::deque<std::string> jobs;  // names, each once
    std::vector<Result> results;
    int nThreads = 0;
    int nIdleThreads = 0;

    static void Work(std::shared_ptr<Shared> pShared) {
        Shared& s = *pShared;
        std::unique_lock lock(s.mutex);
        for (;;) {
            if (s.jobs.empty()) {
                ++s.nIdleThreads;
                bool bGotWork = s.wakeWorkers.wait_for(
                    lock, kLookupThreadIdle, [&] { return !s.jobs.empty() || !s.fnWake; });
                --s.nIdleThreads;
                if (!bGotWork || !s.fnWake) {
                    --s.nThreads;
                    return;
                }
            }
            std::string strHost = std::move(s.jobs.front());
            s.jobs.pop_front();
            LookupFunction fnLookup = s.fnLookup;
            lock.unlock();
            Addresses addresses;
            int nError;
            try {
                nError = fnLookup(strHost, addresses);
            } catch (...) {
                addresses.clear();
                nError = WSANO_RECOVERY;
            }
            lock.lock();
            if (s.fnWake) {
                try {
                    s.results.push_back({std::move(strHost), nError, std::move(addresses)});
                } catch (...) {
                    // Out of memory: the sessions waiting end by their login timeout.
                }
                s.fnWake();
            }
        }
    }
};

NameLookup::NameLookup(std::function<void()> fnWake) : m_pShared(std::make_shared<Shared>()) {
    m_pShared->fnWake = std::move(fnWake);
}

NameLookup::~NameLookup() {
    {
        std::lock_guard lock(m_pShared->mutex);
        m_pShared->fnWake = nullptr;
        m_pShared->jobs.clear();
    }
    m_pShared->wakeWorkers.notify_all();
}

std::uint64_t NameLookup::Start(const std::string& strHost, LookupDone done, int& nError) {
    auto itWaiting = m_waitingByHost.find(strHost);
    if (itWaiting == m_waitingByHost.end()) {
        std::lock_guard lock(m_pShared->mutex);
        Shared& s = *m_pShared;
        if (s.jobs.size() >= kMaxQueuedLookups) {
            nError = WSATRY_AGAIN;
            return 0;
        }
        s.jobs.push_back(strHost);
        if (s.nIdleThreads > 0) {
            s.wakeWorkers.notify_one();
        } else if (s.nThreads < kMaxLookupThreads) {
            ++s.nThreads;
            try {
                StartThread([pShared = m_pShared] { Shared::Work(pShared); });
            } catch (...) {
                // Out of threads or memory: a busy thread takes the name later;
                // with none at all, this lookup fails.
                if (--s.nThreads == 0) {
                    s.jobs.pop_back();
                    nError = WSANO_RECOVERY;
                    return 0;
                }
            }
        }
        itWaiting = m_waitingByHost.emplace(strHost, std::vector<std::uint64_t>()).first;
    }
    std::uint64_t nId = m_nNextLookup++;
    itWaiting->second.push_back(nId);
    m_lookups.emplace(nId, Waiter{strHost, std::move(done)});
    return nId;
}

void NameLookup::StartThread(std::function<void()> fn) {
    if (m_fnStartThread) {
        m_fnStartThread(std::move(fn));
    } else {
        std::thread(std::move(fn)).detach();
    }
}

void NameLookup::Cancel(std::uint64_t nLookup) {
    auto it = m_lookups.find(nLookup);
    if (it == m_lookups.end())
        return;
    std::string strHost = std::move(it->second.strHost);
    m_lookups.erase(it);
    auto itWaiting = m_waitingByHost.find(strHost);
    if (itWaiting == m_waitingByHost.end())
        return;
    std::vector<std::uint64_t>& ids = itWaiting->second;
    std::erase(ids, nLookup);
    if (!ids.empty())
        return;
    m_waitingByHost.erase(itWaiting);
    // No one waits for this name any more: drop it unless a thread has it already.
    std::lock_guard lock(m_pShared->mutex);
    std::erase(m_pShared->jobs, strHost);
}

void NameLookup::Deliver() {
    std::vector<Shared::Result> results;
    {
        std::lock_guard lock(m_pShared->mutex);
        results.swap(m_pShared->results);
    }
    for (Shared::Result& result : results) {
        auto itWaiting = m_waitingByHost.find(result.strHost);
        if (itWaiting == m_waitingByHost.end())
            continue;  // every session waiting for it has gone
        std::vector<std::uint64_t> ids = std::move(itWaiting->second);
        m_waitingByHost.erase(itWaiting);
        for (std::uint64_t nId : ids) {
            // An earlier callback may have cancelled this one.
            auto it = m_lookups.find(nId);
            if (it == m_lookups.end())
                continue;
            LookupDone done = std::move(it->second.done);
            m_lookups.erase(it);
            try {
                done(result.nError, result.addresses);
            } catch (...) {
                // The socket behind it has ended its own session.
            }
        }
    }
}

void NameLookup::SetThreadStarter(ThreadStarter fn) {
    m_fnStartThread = std::move(fn);
}

void NameLookup::SetLookupFunction(LookupFunction fn) {
    std::lock_guard lock(m_pShared->mutex);
    m_pShared->fnLookup = fn ? std::move(fn) : DefaultLookup;
}
