#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "socket_platform.h"

// Name lookups done on worker threads for one loop. Each lookup is a job that
// sessions wait on, and its result goes to that job's waiters only. Sessions
// that want the same name while its job is waiting or running share that job;
// names waiting for a thread are bounded. A job no one waits for any more is
// dropped if it has not started, and its result is thrown away if it has; a
// session that then wants the name gets a job of its own.
// Everything but the workers runs on the loop's thread; a worker tells the
// loop that results wait through the wake function, and the loop then calls
// Deliver.
class NameLookup {
public:
    using Addresses = std::vector<sockaddr_storage>;
    // Looks a host name up; runs on a worker thread. Returns 0 or an error number.
    using LookupFunction = std::function<int(const std::string& strHost, Addresses& addresses)>;
    using LookupDone = std::function<void(int nError, Addresses addresses)>;
    // Starts fn on a thread of its own; throws (std::system_error) when it cannot.
    using ThreadStarter = std::function<void(std::function<void()> fn)>;

    // fnWake is called on a worker thread; it must be safe to call from any thread.
    explicit NameLookup(std::function<void()> fnWake);
    // Workers still busy finish their name and drop the result.
    ~NameLookup();
    NameLookup(const NameLookup&) = delete;
    NameLookup& operator=(const NameLookup&) = delete;

    // Returns 0, with the error in nError, when the lookup cannot be started
    // (too many names waiting, no thread for it).
    std::uint64_t Start(const std::string& strHost, LookupDone done, int& nError);
    void Cancel(std::uint64_t nLookup);
    // Calls done for every lookup that has finished.
    void Deliver();
    void SetLookupFunction(LookupFunction fn);
    // How worker threads are started (null: std::thread).
    void SetThreadStarter(ThreadStarter fn);

private:
    struct Shared;
    struct Job {
        std::uint64_t nId;
        std::vector<std::uint64_t> waiters;  // lookup numbers
    };
    struct Waiter {
        std::string strHost;
        std::uint64_t nJob;
        LookupDone done;
    };

    void StartThread(std::function<void()> fn);

    std::shared_ptr<Shared> m_pShared;
    std::unordered_map<std::uint64_t, Waiter> m_lookups;
    // The job someone waits for, by name: at most one a name.
    std::unordered_map<std::string, Job> m_jobsByHost;
    std::uint64_t m_nNextLookup = 1;
    std::uint64_t m_nNextJob = 1;
    ThreadStarter m_fnStartThread;
};
