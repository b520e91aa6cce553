// The health a monitor sees: healthy only while every line is up and every polled register good
// within its allowed age; never healthy before data came, never while a meter fails; the answer
// names the line or meter at fault and since when its data is missing.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "service/core/cell_json.h"
#include "service/core/health.h"
#include "service/http/health.h"

namespace {

using namespace std::chrono_literals;
using service::HealthStatus;
using service::LineHealthInput;
using service::LineState;
using service::LiveCell;

// What a register's cell holds at the moment of the judgement (allowed age 3 s).
enum class Cell {
    kGood,        // read well 100 ms ago
    kOld,         // read well 5 s ago, nothing since
    kFailed,      // read well 100 ms ago, then the last read failed
    kNeverGood,   // answered with errors only
    kUnanswered,  // no result yet
};

constexpr std::int64_t kUtc = 1'765'000'000'000;

LiveCell MakeCell(std::int16_t station, const char* mnemonic, Cell what, service::SteadyTime now) {
    LiveCell cell;
    cell.station = station;
    cell.mnemonic = mnemonic;
    cell.interval = 1000ms;
    cell.allowedAge = 3000ms;
    if (what == Cell::kUnanswered) return cell;
    cell.answered = true;
    cell.ok = what == Cell::kGood || what == Cell::kOld;
    cell.everGood = what != Cell::kNeverGood;
    const auto ago = what == Cell::kOld ? 5000ms : 100ms;
    cell.goodAt = now - ago;
    cell.goodUtcMs = kUtc - ago.count();
    if (!cell.ok) cell.errorText = "meter did not answer";
    return cell;
}

struct MeterCase {
    std::int16_t station;
    Cell pv;
    Cell sp;
    bool silent = false;
};

struct LineCase {
    const char* name;
    LineState state;
    std::vector<MeterCase> meters;
    bool stuck = false;  // the worker has not come round for 10 s
};

struct Case {
    const char* name;
    std::chrono::milliseconds sinceStart;
    std::vector<LineCase> lines;
    HealthStatus status;
    std::vector<std::string> problems;  // "line:problem" or "line/station:problem"
};

std::vector<LineHealthInput> MakeLines(const std::vector<LineCase>& described,
                                       service::SteadyTime now) {
    std::vector<LineHealthInput> lines;
    for (const LineCase& given : described) {
        LineHealthInput line;
        line.name = given.name;
        line.state = given.state;
        if (given.state == LineState::kLost) line.lostReason = "line lost: no meter answers";
        line.stuckAfter = 3500ms;
        line.heartbeat = now - (given.stuck ? 10s : 200ms);
        for (const MeterCase& meter : given.meters) {
            line.cells.push_back(MakeCell(meter.station, "PV", meter.pv, now));
            line.cells.push_back(MakeCell(meter.station, "SP", meter.sp, now));
            if (meter.silent) line.silentStations.insert(meter.station);
        }
        lines.push_back(std::move(line));
    }
    return lines;
}

const LineState kUp = LineState::kUp;
const Cell kGood = Cell::kGood;

const Case kCases[] = {
    {"every register good",
     10s,
     {{"a", kUp, {{1, kGood, kGood}, {2, kGood, kGood}}}},
     HealthStatus::kHealthy,
     {}},
    {"a register not answered yet within its allowed age",
     1s,
     {{"a", kUp, {{1, kGood, Cell::kUnanswered}}}},
     HealthStatus::kStarting,
     {"a/1:starting"}},
    {"a line not opened yet at the start",
     1s,
     {{"a", LineState::kStarting, {{1, Cell::kUnanswered, Cell::kUnanswered}}}},
     HealthStatus::kStarting,
     {"a/1:starting"}},
    {"a register never answered after its allowed age",
     10s,
     {{"a", kUp, {{1, kGood, Cell::kUnanswered}}}},
     HealthStatus::kUnhealthy,
     {"a/1:no answer"}},
    {"one stale meter among good ones is named alone",
     10s,
     {{"a", kUp, {{1, kGood, kGood}, {2, Cell::kOld, kGood}, {3, kGood, kGood}}},
      {"b", kUp, {{1, kGood, kGood}}}},
     HealthStatus::kUnhealthy,
     {"a/2:stale"}},
    {"a failed read while the latest good value is young",
     10s,
     {{"a", kUp, {{1, Cell::kFailed, kGood}}}},
     HealthStatus::kUnhealthy,
     {"a/1:failed"}},
    {"a meter answering with errors only, even at the start",
     1s,
     {{"a", kUp, {{1, Cell::kNeverGood, Cell::kUnanswered}}}},
     HealthStatus::kUnhealthy,
     {"a/1:failed"}},
    {"a meter's worst register names it",
     10s,
     {{"a", kUp, {{1, Cell::kOld, Cell::kFailed}}}},
     HealthStatus::kUnhealthy,
     {"a/1:failed"}},
    {"a silent meter",
     10s,
     {{"a", kUp, {{1, kGood, kGood}, {2, kGood, kGood, true}}}},
     HealthStatus::kUnhealthy,
     {"a/2:silent"}},
    {"a lost line is named once, not its meters",
     10s,
     {{"a", LineState::kLost, {{1, Cell::kFailed, Cell::kFailed}}},
      {"b", kUp, {{1, kGood, kGood}}}},
     HealthStatus::kUnhealthy,
     {"a:line lost"}},
    {"a stuck worker while its values are still young",
     10s,
     {{"a", kUp, {{1, kGood, kGood}}, true}},
     HealthStatus::kUnhealthy,
     {"a:worker stuck"}},
    {"a line starting beside a lost one",
     1s,
     {{"a", LineState::kStarting, {{1, Cell::kUnanswered, Cell::kUnanswered}}},
      {"b", LineState::kLost, {{1, Cell::kFailed, Cell::kFailed}}}},
     HealthStatus::kUnhealthy,
     {"a/1:starting", "b:line lost"}},
};

TEST(Health, HealthyOnlyWhileEveryLineIsUpAndEveryRegisterGood) {
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        const auto now = std::chrono::steady_clock::now();
        const auto lines = MakeLines(c.lines, now);
        const service::HealthReport report = service::JudgeHealth(lines, now - c.sinceStart, now);
        EXPECT_EQ(report.status, c.status);
        std::vector<std::string> problems;
        for (const auto& p : report.problems) {
            problems.push_back(p.line + (p.station ? "/" + std::to_string(*p.station) : "") + ":" +
                               service::HealthProblemName(p.kind));
        }
        EXPECT_EQ(problems, c.problems);
        // Only a healthy service answers 200.
        EXPECT_EQ(service::HealthAnswer(report).status,
                  c.status == HealthStatus::kHealthy ? 200 : 503);
    }
}

TEST(Health, TheAnswerSaysWhichRegistersAndSinceWhenTheirValuesAreMissing) {
    const auto now = std::chrono::steady_clock::now();
    LineHealthInput line;
    line.name = "hall";
    line.state = LineState::kUp;
    line.heartbeat = now;
    line.stuckAfter = 3500ms;
    line.cells = {MakeCell(4, "PV", Cell::kGood, now), MakeCell(4, "SP", Cell::kOld, now),
                  MakeCell(4, "OP", Cell::kFailed, now), MakeCell(5, "PV", Cell::kNeverGood, now),
                  MakeCell(5, "SP", Cell::kOld, now)};
    const auto body = nlohmann::json::parse(
        service::HealthAnswer(service::JudgeHealth(std::span(&line, 1), now - 10s, now)).body);
    EXPECT_EQ(body["status"], "unhealthy");
    ASSERT_EQ(body["problems"].size(), 2u);
    const auto& four = body["problems"][0];
    EXPECT_EQ(four["station"], 4);
    EXPECT_EQ(four["problem"], "failed");
    EXPECT_EQ(four["registers"], nlohmann::json({"SP", "OP"}));
    // The oldest latest good value of the two: SP's, 5 s ago.
    EXPECT_EQ(four["since"], service::IsoUtc(kUtc - 5000));
    EXPECT_EQ(four["age_ms"], 5000);
    EXPECT_EQ(four["error"], "meter did not answer");
    // A register that never had a good value: no time since which it is missing.
    const auto& five = body["problems"][1];
    EXPECT_EQ(five["station"], 5);
    EXPECT_TRUE(five["since"].is_null());
    EXPECT_TRUE(five["age_ms"].is_null());
}

}  // namespace
