#include "timer_queue.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

namespace {

using namespace std::chrono_literals;

TEST(TimerQueue, RunsDueTimersInOrderOnceAndSkipsCancelledOnes) {
    TimerQueue queue;
    std::string strRan;
    bool bEarliest = false;
    EXPECT_FALSE(queue.NextDue().has_value());

    auto nLater = queue.Add(
        1h, [&] { strRan += "later "; }, bEarliest);
    EXPECT_TRUE(bEarliest);
    queue.Add(
        -2ms, [&] { strRan += "second "; }, bEarliest);
    EXPECT_TRUE(bEarliest);
    auto nCancelled = queue.Add(
        -1ms, [&] { strRan += "cancelled "; }, bEarliest);
    EXPECT_FALSE(bEarliest);  // the one 2 ms ago falls due first
    queue.Add(
        -3ms,
        [&] {
            strRan += "first ";
            throw 1;  // one timer that throws stops none of the others
        },
        bEarliest);
    EXPECT_TRUE(bEarliest);
    queue.Cancel(nCancelled);
    queue.Cancel(nCancelled);  // twice, or after it ran: nothing happens

    ASSERT_TRUE(queue.NextDue().has_value());
    EXPECT_LE(*queue.NextDue(), TimerQueue::Clock::now());
    queue.RunDue();
    EXPECT_EQ(strRan, "first second ");
    queue.RunDue();
    EXPECT_EQ(strRan, "first second ");  // each runs once

    ASSERT_TRUE(queue.NextDue().has_value());
    EXPECT_GT(*queue.NextDue(), TimerQueue::Clock::now() + 59min);
    queue.Cancel(nLater);
    EXPECT_FALSE(queue.NextDue().has_value());
    queue.RunDue();
    EXPECT_EQ(strRan, "first second ");
}

TEST(TimerQueue, ATimerMaySetAnotherThatRunsWhenDue) {
    TimerQueue queue;
    int nRuns = 0;
    bool bEarliest = false;
    queue.Add(
        -1ms,
        [&] {
            ++nRuns;
            bool bFirst = false;
            queue.Add(
                -1ms, [&] { ++nRuns; }, bFirst);  // already due: runs in the same pass
            queue.Add(
                1h, [&] { ++nRuns; }, bFirst);
        },
        bEarliest);
    queue.RunDue();
    EXPECT_EQ(nRuns, 2);
    EXPECT_TRUE(queue.NextDue().has_value());
}

}  // namespace
