#pragma once

#include <memory>

class EventLoop;

// Ends posternd's loop when the user or the system asks it to stop: SIGINT and
// SIGTERM on Linux; Ctrl+C, Ctrl+Break and closing the console on Windows.
class CStopWatch {
public:
    explicit CStopWatch(EventLoop& loop);
    ~CStopWatch();
    CStopWatch(const CStopWatch&) = delete;
    CStopWatch& operator=(const CStopWatch&) = delete;

    bool IsStopRequested() const;

private:
    struct Impl;
    std::unique_ptr<Impl> m_pImpl;
};
