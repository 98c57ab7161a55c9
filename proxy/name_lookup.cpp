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
    struct Request {
        std::uint64_t nJob;
        std::string strHost;
    };
    struct Result {
        std::uint64_t nJob;
        std::string strHost;
        int nError;
        Addresses addresses;
    };

    std::mutex mutex;
    std::condition_variable wakeWorkers;
    std::function<void()> fnWake;  // null once the loop is gone
    LookupFunction fnLookup = DefaultLookup;
    std::deque<Request> requests;  // each name once
    std::vector<Result> results;
    int nThreads = 0;
    int nIdleThreads = 0;

    static void Work(std::shared_ptr<Shared> pShared) {
        Shared& s = *pShared;
        std::unique_lock lock(s.mutex);
        for (;;) {
            if (s.requests.empty()) {
                ++s.nIdleThreads;
                bool bGotWork = s.wakeWorkers.wait_for(
                    lock, kLookupThreadIdle, [&] { return !s.requests.empty() || !s.fnWake; });
                --s.nIdleThreads;
                if (!bGotWork || !s.fnWake) {
                    --s.nThreads;
                    return;
                }
            }
            Request request = std::move(s.requests.front());
            s.requests.pop_front();
            LookupFunction fnLookup = s.fnLookup;
            lock.unlock();
            Addresses addresses;
            int nError;
            try {
                nError = fnLookup(request.strHost, addresses);
            } catch (...) {
                addresses.clear();
                nError = WSANO_RECOVERY;
            }
            lock.lock();
            if (s.fnWake) {
                try {
                    s.results.push_back(
                        {request.nJob, std::move(request.strHost), nError, std::move(addresses)});
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
        m_pShared->requests.clear();
    }
    m_pShared->wakeWorkers.notify_all();
}

std::uint64_t NameLookup::Start(const std::string& strHost, LookupDone done, int& nError) {
    auto itJob = m_jobsByHost.find(strHost);
    if (itJob == m_jobsByHost.end()) {
        std::uint64_t nJob = m_nNextJob++;
        std::lock_guard lock(m_pShared->mutex);
        Shared& s = *m_pShared;
        if (s.requests.size() >= kMaxQueuedLookups) {
            nError = WSATRY_AGAIN;
            return 0;
        }
        s.requests.push_back({nJob, strHost});
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
                    s.requests.pop_back();
                    nError = WSANO_RECOVERY;
                    return 0;
                }
            }
        }
        itJob = m_jobsByHost.emplace(strHost, Job{nJob, {}}).first;
    }
    std::uint64_t nId = m_nNextLookup++;
    itJob->second.waiters.push_back(nId);
    m_lookups.emplace(nId, Waiter{strHost, itJob->second.nId, std::move(done)});
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
    std::uint64_t nJob = it->second.nJob;
    m_lookups.erase(it);
    auto itJob = m_jobsByHost.find(strHost);
    if (itJob == m_jobsByHost.end() || itJob->second.nId != nJob)
        return;  // its job has been delivered already
    std::vector<std::uint64_t>& waiters = itJob->second.waiters;
    std::erase(waiters, nLookup);
    if (!waiters.empty())
        return;
    m_jobsByHost.erase(itJob);
    // No one waits for this job any more: drop it unless a thread has it already.
    std::lock_guard lock(m_pShared->mutex);
    std::erase_if(m_pShared->requests, [nJob](const Shared::Request& r) { return r.nJob == nJob; });
}

void NameLookup::Deliver() {
    std::vector<Shared::Result> results;
    {
        std::lock_guard lock(m_pShared->mutex);
        results.swap(m_pShared->results);
    }
    for (Shared::Result& result : results) {
        auto itJob = m_jobsByHost.find(result.strHost);
        if (itJob == m_jobsByHost.end() || itJob->second.nId != result.nJob)
            continue;  // every session waiting for this job has gone
        std::vector<std::uint64_t> waiters = std::move(itJob->second.waiters);
        m_jobsByHost.erase(itJob);
        for (std::uint64_t nId : waiters) {
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
