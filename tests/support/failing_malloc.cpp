// Preloaded into posternd (LD_PRELOAD) by the out-of-memory test: once SIGUSR2
// arms it, every Nth malloc fails (N from POSTERN_FAIL_EVERY), until the next
// SIGUSR2. A process that runs out of memory now and then, on demand.

#include <csignal>
#include <cstddef>
#include <cstdlib>

extern "C" void* __libc_malloc(std::size_t nSize);

namespace {

volatile std::sig_atomic_t s_bArmed = 0;
long s_nEvery = 0;
long s_nCalls = 0;  // races between threads only blur which call fails

void Toggle(int) {
    s_bArmed = !s_bArmed;
}

__attribute__((constructor)) void Setup() {
    if (const char* pszEvery = std::getenv("POSTERN_FAIL_EVERY"))
        s_nEvery = std::atol(pszEvery);
    struct sigaction toggle = {};
    toggle.sa_handler = Toggle;
    sigaction(SIGUSR2, &toggle, nullptr);
}

}  // namespace

extern "C" void* malloc(std::size_t nSize) {
    if (s_bArmed && s_nEvery > 0 && ++s_nCalls % s_nEvery == 0)
        return nullptr;
    return __libc_malloc(nSize);
}
