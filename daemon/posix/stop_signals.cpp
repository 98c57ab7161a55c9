#include "stop_signals.h"

#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <csignal>
#include <utility>

#include "event_loop.h"

struct CStopSignals::Impl : IEventHandler {
    explicit Impl(EventLoop& loop) : m_loop(loop) {
        // Sends use MSG_NOSIGNAL; this keeps any other write to a closed peer harmless too.
        std::signal(SIGPIPE, SIG_IGN);
        sigset_t signals;
        sigemptyset(&signals);
        sigaddset(&signals, SIGINT);
        sigaddset(&signals, SIGTERM);
        sigaddset(&signals, SIGHUP);
        sigprocmask(SIG_BLOCK, &signals, nullptr);
        m_fd = signalfd(-1, &signals, SFD_NONBLOCK | SFD_CLOEXEC);
        m_loop.Register(m_fd, this, EPOLLIN);
    }
    ~Impl() {
        m_loop.Unregister(m_fd, this);
        close(m_fd);
    }

    void HandleEvents(std::uint32_t) override {
        signalfd_siginfo info;
        while (read(m_fd, &info, sizeof info) == sizeof info) {
            if (info.ssi_signo == SIGHUP)
                m_bReload = true;
            else
                m_bStop = true;
        }
    }

    EventLoop& m_loop;
    int m_fd = -1;
    bool m_bStop = false;
    bool m_bReload = false;
};

CStopSignals::CStopSignals(EventLoop& loop) : m_pImpl(std::make_unique<Impl>(loop)) {}
CStopSignals::~CStopSignals() = default;

bool CStopSignals::IsStopRequested() const {
    return m_pImpl->m_bStop;
}

bool CStopSignals::TakeReloadRequest() {
    return std::exchange(m_pImpl->m_bReload, false);
}
