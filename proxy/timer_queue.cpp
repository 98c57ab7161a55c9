#include "timer_queue.h"

TimerQueue::TimerId TimerQueue::Add(Clock::duration delay, std::function<void()> fn,
                                    bool& bEarliest) {
    TimerId nTimer = m_nNextTimer++;
    auto it = m_queue.emplace(Clock::now() + delay, nTimer);
    m_timers.emplace(nTimer, std::make_pair(it, std::move(fn)));
    bEarliest = it == m_queue.begin();
    return nTimer;
}

void TimerQueue::Cancel(TimerId nTimer) {
    auto it = m_timers.find(nTimer);
    if (it == m_timers.end())
        return;
    m_queue.erase(it->second.first);
    m_timers.erase(it);
}

void TimerQueue::RunDue() {
    auto now = Clock::now();
    while (!m_queue.empty() && m_queue.begin()->first <= now) {
        TimerId nTimer = m_queue.begin()->second;
        m_queue.erase(m_queue.begin());
        auto it = m_timers.find(nTimer);
        std::function<void()> fn = std::move(it->second.second);
        m_timers.erase(it);
        try {
            fn();
        } catch (...) {
        }
    }
}

std::optional<TimerQueue::Clock::time_point> TimerQueue::NextDue() const {
    if (m_queue.empty())
        return std::nullopt;
    return m_queue.begin()->first;
}
