#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <unordered_map>
#include <utility>

// One-shot timers in the order they fall due. It keeps no clock of its own:
// the loop wakes for NextDue and then calls RunDue.
class TimerQueue {
public:
    using Clock = std::chrono::steady_clock;
    using TimerId = std::uint64_t;

    // bEarliest tells whether the new timer now falls due first.
    TimerId Add(Clock::duration delay, std::function<void()> fn, bool& bEarliest);
    void Cancel(TimerId nTimer);
    // Runs, in order, the timers due by now.
    void RunDue();
    std::optional<Clock::time_point> NextDue() const;

private:
    using Queue = std::multimap<Clock::time_point, TimerId>;

    Queue m_queue;
    std::unordered_map<TimerId, std::pair<Queue::iterator, std::function<void()>>> m_timers;
    TimerId m_nNextTimer = 1;
};
