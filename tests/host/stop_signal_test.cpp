// The stop signal and the waits of the tools' serial lines, on every system: a stop raised by
// another thread ends a long wait at once, and a wait without a stop lasts its time.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "host/oskit/serial_line.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

TEST(StopSignal, EndsAWaitAtOnceWhenRaisedByAnotherThread) {
    host::StopSignal stop;
    ASSERT_TRUE(stop.ok());
    EXPECT_FALSE(stop.Raised());
    const auto start = Clock::now();
    std::thread raiser([&stop] {
        std::this_thread::sleep_for(milliseconds(100));
        stop.Raise();
    });
    const host::WaitResult result = host::WaitForInput({}, stop, 20000);
    const auto waited = Clock::now() - start;
    raiser.join();
    EXPECT_EQ(result.end, host::WaitEnd::kStopped);
    EXPECT_EQ(result.ready, 0u);
    EXPECT_TRUE(stop.Raised());
    EXPECT_GE(waited, milliseconds(90));
    EXPECT_LT(waited, milliseconds(5000));
    // Once raised it stays raised: the next wait ends without waiting.
    EXPECT_EQ(host::WaitForInput({}, stop, 20000).end, host::WaitEnd::kStopped);
}

TEST(StopSignal, AWaitWithoutAStopLastsItsTimeAndSleepUntilKeepsTheClock) {
    host::StopSignal stop;
    ASSERT_TRUE(stop.ok());
    auto start = Clock::now();
    EXPECT_EQ(host::WaitForInput({}, stop, 80).end, host::WaitEnd::kTimeout);
    EXPECT_GE(Clock::now() - start, milliseconds(80));

    start = Clock::now();
    host::SleepUntil(start + milliseconds(30));
    EXPECT_GE(Clock::now() - start, milliseconds(30));
    EXPECT_FALSE(stop.Raised());
}

}  // namespace
