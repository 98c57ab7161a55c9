#pragma once

#ifdef __linux__
#include <sys/prctl.h>
#include <sys/resource.h>
#endif

// What the programs that run the proxy do first on Linux. A core would hold the
// passwords of logins under way: none is written. Each mail client holds a
// descriptor or two, so the soft limit (1024 under systemd) is raised to the
// hard one. Windows has neither to do.
inline void GuardProcess() {
#ifdef __linux__
    prctl(PR_SET_DUMPABLE, 0);
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
#endif
}
