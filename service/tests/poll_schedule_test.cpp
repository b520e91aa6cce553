// The order of a line's polls, run against a line simulated in steady-clock time: meters that
// never answer beside ones that do, one lost reply, a meter that comes back, a line where nothing
// answers, and registers always due.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <vector>

#include "service/core/poll_schedule.h"

namespace {

using namespace std::chrono_literals;
using service::MeterChange;
using service::PollSchedule;
using Ms = std::chrono::milliseconds;

service::LineConfig Line(const std::vector<std::int16_t>& stations, Ms interval) {
    service::LineConfig line;
    for (const std::int16_t station : stations) {
        service::MeterConfig meter;
        meter.station = station;
        meter.polled = {{{"PV", 4, qm4720::DataType::kFloat, true}, interval, 3 * interval},
                        {{"OP", 5, qm4720::DataType::kFloat, true}, interval, 3 * interval}};
        line.meters.push_back(meter);
    }
    return line;
}

// What a simulated run saw.
struct SimulatedRun {
    Ms longestGap{0};                  // between two answered polls of one register
    std::map<std::size_t, int> asked;  // exchanges by meter index
    std::vector<std::pair<std::size_t, MeterChange>> changes;
    bool everAllSilent = false;
};

// Polls `line` for `length`: meter m answers in `answerTime` when answers(m, now), else its
// exchange takes `timeout`. Gaps are counted from the first answer of each register on, while
// the silent meters are still being found out too.
template <typename Answers>
SimulatedRun Simulate(const service::LineConfig& line, Ms length, Ms timeout, Answers answers,
                      Ms answerTime = 30ms) {
    const auto start = std::chrono::steady_clock::time_point{} + 1000h;
    PollSchedule schedule(line, start);
    SimulatedRun run;
    std::map<std::pair<std::size_t, std::size_t>, service::SteadyTime> lastAnswer;
    auto now = start;
    while (now - start < length) {
        service::SteadyTime wake{};
        service::DuePoll* due = schedule.Next(now, wake);
        if (due == nullptr) {
            now = wake;
            continue;
        }
        const bool answered = answers(due->meter, std::chrono::duration_cast<Ms>(now - start));
        now += answered ? answerTime : timeout;
        ++run.asked[due->meter];
        if (answered) {
            const auto key = std::make_pair(due->meter, due->polled);
            if (lastAnswer.count(key) != 0) {
                run.longestGap =
                    std::max(run.longestGap, std::chrono::duration_cast<Ms>(now - lastAnswer[key]));
            }
            lastAnswer[key] = now;
        }
        const MeterChange change = schedule.Record(*due, answered, now);
        if (change != MeterChange::kNone) run.changes.emplace_back(due->meter, change);
        run.everAllSilent = run.everAllSilent || schedule.AllSilent();
    }
    return run;
}

TEST(PollSchedule, SilentMetersCostOneTimeoutPerBackoffAndNeverHoldTheAnsweringOnesBack) {
    struct Case {
        const char* name;
        Ms interval;
        Ms timeout;
    };
    const Case cases[] = {
        {"timeout longer than the interval", 1000ms, 1500ms},
        {"timeout shorter than the interval", 2000ms, 1500ms},
        {"registers always due", 1ms, 1500ms},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const SimulatedRun run = Simulate(Line({1, 7, 8, 9}, c.interval), 130s, c.timeout,
                                          [](std::size_t meter, Ms) { return meter == 0; });
        // Each answered poll is late by one timeout and the exchanges ahead of it at most.
        EXPECT_LE(run.longestGap, c.interval + c.timeout + 4 * 30ms);
        EXPECT_FALSE(run.everAllSilent);
        for (std::size_t m = 1; m <= 3; ++m) {
            // Two misses make it silent, then retries after 5, 10, 20, 40 and 60 s.
            EXPECT_GE(run.asked.at(m), 6) << "meter " << m;
            EXPECT_LE(run.asked.at(m), 7) << "meter " << m;
        }
        const std::vector<std::pair<std::size_t, MeterChange>> wentSilent{
            {1, MeterChange::kWentSilent},
            {2, MeterChange::kWentSilent},
            {3, MeterChange::kWentSilent}};
        EXPECT_EQ(run.changes, wentSilent);
    }
}

TEST(PollSchedule, OneLostReplyIsNotSilenceAndAMeterThatAnswersAgainIsPolledAgain) {
    // Meter 1 misses one reply at 5 s, then none from 20 s to 40 s.
    const SimulatedRun run =
        Simulate(Line({1, 2}, 1000ms), 60s, 1500ms, [](std::size_t meter, Ms at) {
            if (meter == 0) return true;
            return !(at >= 5s && at < 5100ms) && !(at >= 20s && at < 40s);
        });
    const std::vector<std::pair<std::size_t, MeterChange>> changes{{1, MeterChange::kWentSilent},
                                                                   {1, MeterChange::kAnswersAgain}};
    EXPECT_EQ(run.changes, changes);
    EXPECT_FALSE(run.everAllSilent);
    // Back at its interval: about 40 polls of two registers in the 60 s, less the silent 20 s.
    EXPECT_GE(run.asked.at(1), 70);
}

TEST(PollSchedule, ALineWhereNothingAnswersIsAllSilentOnlyOnceEveryMeterMissedTwice) {
    const auto line = Line({1, 2, 3}, 1000ms);
    PollSchedule schedule(line, {});
    service::SteadyTime now{};
    int exchanges = 0;
    while (!schedule.AllSilent()) {
        service::SteadyTime wake{};
        service::DuePoll* due = schedule.Next(now, wake);
        ASSERT_NE(due, nullptr);
        now += 1500ms;
        schedule.Record(*due, false, now);
        ++exchanges;
    }
    EXPECT_EQ(exchanges, 3 * service::kMissesBeforeSilent);
}

}  // namespace
