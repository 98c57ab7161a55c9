#pragma once

#include <memory>

class EventLoop;

// Ends posternd's loop when the user or the system asks it to stop: SIGINT and
// SIGTERM on Linux; Ctrl+C, Ctrl+Break and closing the console on Windows.
// On Linux SIGHUP asks for the settings to be read again instead.
class CStopSignals {
public:
    explicit CStopSignals(EventLoop& loop);
    ~CStopSignals();
    CStopSignals(const CStopSignals&) = delete;
    CStopSignals& operator=(const CStopSignals&) = delete;

    bool IsStopRequested() const;
    // Whether a reload was asked for since the last call.
    bool TakeReloadRequest();

private:
    struct Impl;
    std::unique_ptr<Impl> m_pImpl;
};
