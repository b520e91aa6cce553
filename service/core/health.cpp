#include "service/core/health.h"

#include <algorithm>
#include <map>

#include "service/core/service_runtime.h"

namespace service {
namespace {

using std::chrono::milliseconds;

// A register's own verdict; kWorkerStuck and kLineLost never come from one. nullopt: good.
std::optional<HealthProblemKind> JudgeRegister(const LiveCell& cell, SteadyTime startedAt,
                                               SteadyTime now) {
    if (!cell.answered) {
        return now - startedAt <= cell.allowedAge ? HealthProblemKind::kStarting
                                                  : HealthProblemKind::kNoAnswer;
    }
    if (!cell.ok) return HealthProblemKind::kFailed;
    if (now - cell.goodAt > cell.allowedAge) return HealthProblemKind::kStale;
    return std::nullopt;
}

HealthProblem LineProblem(const std::string& line, HealthProblemKind kind,
                          const std::string& detail = {}) {
    HealthProblem problem;
    problem.line = line;
    problem.kind = kind;
    problem.detail = detail;
    return problem;
}

// The problems of the meters of `line`, one for each meter with a register that is not good.
void JudgeMeters(const LineHealthInput& line, SteadyTime startedAt, SteadyTime now,
                 std::vector<HealthProblem>& problems) {
    std::map<std::int16_t, std::size_t> byStation;  // station -> its entry in `problems`
    for (const LiveCell& cell : line.cells) {
        std::optional<HealthProblemKind> kind = JudgeRegister(cell, startedAt, now);
        if (line.silentStations.contains(cell.station)) kind = HealthProblemKind::kSilent;
        if (!kind) continue;
        auto [at, added] = byStation.emplace(cell.station, problems.size());
        if (added) {
            HealthProblem problem;
            problem.line = line.name;
            problem.station = cell.station;
            problem.kind = *kind;
            problem.lastGoodUtcMs = cell.everGood ? std::optional(cell.goodUtcMs) : std::nullopt;
            problem.lastGoodAge = CellAge(cell, now);
            problems.push_back(std::move(problem));
        }
        HealthProblem& problem = problems[at->second];
        problem.registers.push_back(cell.mnemonic);
        problem.kind = std::max(problem.kind, *kind);
        if (problem.detail.empty() && cell.answered && !cell.ok) problem.detail = cell.errorText;
        // The meter's oldest value says since when it is not delivered whole.
        if (!added && problem.lastGoodUtcMs) {
            if (!cell.everGood) {
                problem.lastGoodUtcMs.reset();
                problem.lastGoodAge.reset();
            } else if (cell.goodUtcMs < *problem.lastGoodUtcMs) {
                problem.lastGoodUtcMs = cell.goodUtcMs;
                problem.lastGoodAge = CellAge(cell, now);
            }
        }
    }
}

}  // namespace

const char* HealthProblemName(HealthProblemKind kind) {
    switch (kind) {
        case HealthProblemKind::kStarting:
            return "starting";
        case HealthProblemKind::kNoAnswer:
            return "no answer";
        case HealthProblemKind::kStale:
            return "stale";
        case HealthProblemKind::kFailed:
            return "failed";
        case HealthProblemKind::kSilent:
            return "silent";
        case HealthProblemKind::kLineLost:
            return "line lost";
        case HealthProblemKind::kWorkerStuck:
            return "worker stuck";
    }
    return "?";
}

milliseconds WorkerStuckAfter(const LineConfig& line) {
    return milliseconds(line.settings.replyTimeoutMs + 2000);
}

HealthReport JudgeHealth(std::span<const LineHealthInput> lines, SteadyTime startedAt,
                         SteadyTime now) {
    HealthReport report;
    for (const LineHealthInput& line : lines) {
        if (now - line.heartbeat > line.stuckAfter) {
            report.problems.push_back(LineProblem(line.name, HealthProblemKind::kWorkerStuck));
        }
        if (line.state == LineState::kLost) {
            // Every meter on it fails for that one reason: the line says it once.
            report.problems.push_back(
                LineProblem(line.name, HealthProblemKind::kLineLost, line.lostReason));
            continue;
        }
        JudgeMeters(line, startedAt, now, report.problems);
    }
    const bool onlyStarting =
        std::all_of(report.problems.begin(), report.problems.end(),
                    [](const HealthProblem& p) { return p.kind == HealthProblemKind::kStarting; });
    report.status = report.problems.empty() ? HealthStatus::kHealthy
                    : onlyStarting          ? HealthStatus::kStarting
                                            : HealthStatus::kUnhealthy;
    return report;
}

HealthReport JudgeHealth(const ServiceRuntime& runtime, SteadyTime now) {
    std::vector<LineHealthInput> lines;
    const auto& tables = runtime.live().Lines();
    for (std::size_t i = 0; i < tables.size(); ++i) {
        const LineTable& table = *tables[i];
        LineHealthInput line;
        line.name = table.name();
        line.state = table.State();
        line.lostReason = table.LostReason();
        line.heartbeat = runtime.Heartbeat(i);
        line.stuckAfter = WorkerStuckAfter(runtime.config().lines[i]);
        line.cells = table.Snapshot();
        for (const MeterConfig& meter : runtime.config().lines[i].meters) {
            if (table.MeterSilent(meter.station)) line.silentStations.insert(meter.station);
        }
        lines.push_back(std::move(line));
    }
    return JudgeHealth(lines, runtime.startedAt(), now);
}

}  // namespace service
