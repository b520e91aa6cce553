// The bench's floor and targets, worked out by hand from the line's rules: 10 bit times a
// character at 8N1, 30 ms of pause per unit of 9600 / baud, looks at the port at the end of the
// pause and every 20 ms after it.
#include <gtest/gtest.h>

#include "bench/floor.h"
#include "bench/stats.h"

namespace {

using bench::TransactionFloor;

struct FloorCase {
    const char* name;
    int baud;
    double turnaroundMs;
    int requestBytes;
    int replyBytes;
    double pauseMs;
    double arrivalMs;
    double floorMs;
};

TEST(BenchFloor, FollowsThePauseTheWireAndThePollGrid) {
    const FloorCase cases[] = {
        // 19 characters of 1.0417 ms and 5 ms: 24.79 ms, inside the 30 ms pause.
        {"read at 9600", 9600, 5, 8, 11, 30, 19 * 10000.0 / 9600 + 5, 30},
        // 17 characters of 2.0833 ms and 5 ms: 40.42 ms, inside the 60 ms pause.
        {"write at 4800", 4800, 5, 16, 1, 60, 17 * 10000.0 / 4800 + 5, 60},
        {"read at 300", 300, 5, 8, 11, 960, 19 * 10000.0 / 300 + 5, 960},
        // A slow instrument: 39.79 ms is past the pause, found by the look at 30 + 20 ms.
        {"late reply at 9600", 9600, 20, 8, 11, 30, 19 * 10000.0 / 9600 + 20, 50},
        // 1000 baud: factor 9, pause 270 ms, 10 ms a character. 190 + 100 = 290 lands on the
        // first look after the pause; one millisecond more waits for the next one.
        {"on a look", 1000, 100, 8, 11, 270, 290, 290},
        {"just after a look", 1000, 101, 8, 11, 270, 291, 310},
        // The driver's factor is an integer: 9600 / 7000 is 1, a 30 ms pause, shorter than the
        // 27.14 ms of wire and 5 ms of turnaround; the look at 50 ms finds the reply.
        {"integer factor", 7000, 5, 8, 11, 30, 19 * 10000.0 / 7000 + 5, 50},
    };
    for (const FloorCase& c : cases) {
        SCOPED_TRACE(c.name);
        const bench::Floor f =
            TransactionFloor(c.baud, 10, c.turnaroundMs, c.requestBytes, c.replyBytes);
        EXPECT_DOUBLE_EQ(f.pauseMs, c.pauseMs);
        EXPECT_NEAR(f.arrivalMs, c.arrivalMs, 1e-9);
        EXPECT_DOUBLE_EQ(f.floorMs, c.floorMs);
    }
}

TEST(BenchFloor, SimulatedLineSkipsTheRequestAndTheLastCharacter) {
    // 20 ms and 10 characters of 1.0417 ms: 30.42 ms, past the pause; a real line adds 8 and 1
    // more characters (39.79 ms), and both are found by the look at 50 ms.
    const bench::Floor late = bench::SimulatedLineFloor(9600, 10, 20, 11);
    EXPECT_NEAR(late.arrivalMs, 20 + 10 * 10000.0 / 9600, 1e-9);
    EXPECT_DOUBLE_EQ(late.floorMs, 50);
    // A write answered by one byte after 20 ms: inside the pause on the simulated line, while on
    // a real line the 16 request bytes (16.7 ms) push it past the pause.
    EXPECT_DOUBLE_EQ(bench::SimulatedLineFloor(9600, 10, 20, 1).floorMs, 30);
    EXPECT_DOUBLE_EQ(TransactionFloor(9600, 10, 20, 16, 1).floorMs, 50);
}

TEST(BenchFloor, TargetsHaveTheirStatedMargins) {
    // 5 % of 30 ms is less than 2 ms: 2 ms either side.
    EXPECT_TRUE(bench::WithinFloor(31.9, 30));
    EXPECT_FALSE(bench::WithinFloor(32.1, 30));
    EXPECT_FALSE(bench::WithinFloor(27.9, 30));
    // 5 % of 60 ms is 3 ms.
    EXPECT_TRUE(bench::WithinFloor(62.9, 60));
    EXPECT_FALSE(bench::WithinFloor(63.1, 60));

    EXPECT_TRUE(bench::CpuWithinBudget(0.29, 30));
    EXPECT_FALSE(bench::CpuWithinBudget(0.31, 30));
    EXPECT_TRUE(bench::CoreFastEnough(999));
    EXPECT_FALSE(bench::CoreFastEnough(1000));
    EXPECT_TRUE(bench::PerItemFlat(10, 15));
    EXPECT_FALSE(bench::PerItemFlat(10, 15.1));
    EXPECT_FALSE(bench::PerItemFlat(0, 1));
}

TEST(BenchStats, MedianAndNearestRankPercentile) {
    EXPECT_DOUBLE_EQ(bench::Median({3, 1, 2}), 2);
    EXPECT_DOUBLE_EQ(bench::Median({4, 1, 3, 2}), 2.5);
    EXPECT_DOUBLE_EQ(bench::Median({}), 0);

    std::vector<double> twenty;
    for (int i = 20; i >= 1; --i) twenty.push_back(i);
    EXPECT_DOUBLE_EQ(bench::Percentile(twenty, 95), 19);
    EXPECT_DOUBLE_EQ(bench::Percentile(twenty, 100), 20);
    EXPECT_DOUBLE_EQ(bench::Percentile({7}, 95), 7);
    EXPECT_DOUBLE_EQ(bench::Percentile({}, 95), 0);
}

}  // namespace
