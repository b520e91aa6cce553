// The bench's verdicts: each target judged from the figures as stated in the table. Figures are
// made up around the margins (30 ms floor: 2 ms either side; 1 % processor time; 1 us).
#include <gtest/gtest.h>

#include "bench/report.h"

namespace {

bench::TransactionRow Transaction(double medianMs, double floorMs, double cpuMs) {
    bench::TransactionRow row;
    row.baud = 9600;
    row.medianMs = medianMs;
    row.floorMs = floorMs;
    row.simFloorMs = floorMs;
    row.cpuMs = cpuMs;
    return row;
}

bench::CoreRow Core(const char* name, int items, double ns) {
    bench::CoreRow row;
    row.name = name;
    row.items = items;
    row.nsPerCall = ns;
    return row;
}

// The verdicts in the order the table gives them: floor, processor time, poll cycle, core, items.
std::vector<bench::Verdict> JudgeOf(const bench::Results& results) {
    std::vector<bench::Verdict> verdicts = bench::Judge(results);
    EXPECT_EQ(verdicts.size(), 5u);
    return verdicts;
}

bench::Results Passing() {
    bench::Results r;
    r.transactions = {Transaction(30.2, 30, 0.08), Transaction(60.2, 60, 0.08)};
    bench::PollRow poll;
    poll.stations = 8;
    poll.medianMs = 241.6;
    poll.expectedMs = 240;
    r.polls = {poll};
    r.core = {Core("FloatToText", 0, 180),    Core("ParseRegister", 0, 330),
              Core("DecodeItems", 1, 250),    Core("DecodeItems", 10, 1024),
              Core("DecodeItems", 100, 8680), Core("DecodeItems", 1000, 85300)};
    return r;
}

TEST(BenchReport, EveryTargetMetOnFiguresInsideTheMargins) {
    for (const bench::Verdict& v : JudgeOf(Passing())) {
        SCOPED_TRACE(v.target);
        EXPECT_TRUE(v.Met());
        EXPECT_GT(v.judged, 0);
    }
}

TEST(BenchReport, OneFigureOutsideItsMarginFailsItsTargetOnly) {
    struct Case {
        const char* name;
        void (*spoil)(bench::Results&);
        std::size_t target;
    };
    const Case cases[] = {
        {"median 2.1 ms over a 30 ms floor",
         [](bench::Results& r) { r.transactions[0].medianMs = 32.1; }, 0},
        {"median under the floor", [](bench::Results& r) { r.transactions[1].medianMs = 56.9; }, 0},
        {"just over 1 % of the wall time in the processor",
         [](bench::Results& r) { r.transactions[0].cpuMs = 0.31; }, 1},
        {"a poll cycle 13 ms over 8 floors", [](bench::Results& r) { r.polls[0].medianMs = 253; },
         2},
        {"a core operation of 1 us", [](bench::Results& r) { r.core[1].nsPerCall = 1000; }, 3},
        // (130000 - 250) / 999 = 129.9 ns against 85.2 ns at 100 items: not flat.
        {"1000 items at half as much again per item",
         [](bench::Results& r) { r.core[5].nsPerCall = 130000; }, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        bench::Results r = Passing();
        c.spoil(r);
        const std::vector<bench::Verdict> verdicts = JudgeOf(r);
        for (std::size_t i = 0; i < verdicts.size(); ++i) {
            EXPECT_EQ(verdicts[i].Met(), i != c.target) << verdicts[i].target;
        }
    }
}

TEST(BenchReport, PerItemTimeIsTheExtraOverOneItem) {
    const auto perItem = bench::CorePerItem(Passing().core);
    ASSERT_EQ(perItem.size(), 3u);
    EXPECT_EQ(perItem[0].first, 10);
    EXPECT_DOUBLE_EQ(perItem[0].second, (1024.0 - 250) / 9);
    EXPECT_EQ(perItem[2].first, 1000);
    EXPECT_DOUBLE_EQ(perItem[2].second, (85300.0 - 250) / 999);
}

TEST(BenchReport, NothingToJudgeIsNotMet) {
    for (const bench::Verdict& v : JudgeOf(bench::Results{})) {
        SCOPED_TRACE(v.target);
        EXPECT_FALSE(v.Met());
    }
}

}  // namespace
