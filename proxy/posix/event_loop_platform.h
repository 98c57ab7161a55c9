#pragma once

#include <memory>

#include "socket_platform.h"

class EpollCounter;

// The part of EventLoop that is epoll's: the loop's own descriptors.
class EventLoopPlatform {
public:
    // The epoll descriptor; readable whenever RunOnce has work to do.
    int Fd() const { return m_hEpoll; }

protected:
    EventLoopPlatform();
    ~EventLoopPlatform();

    int m_hEpoll = -1;
    int m_hTimer = -1;
    int m_hWake = -1;   // posted work and finished lookups
    int m_hSpare = -1;  // kept in reserve for an accept when descriptors run out
    std::unique_ptr<EpollCounter> m_pWake;
    std::unique_ptr<EpollCounter> m_pTimerHandler;
};
