// Whether the service delivers what it is configured to deliver, for a monitor to ask: every line
// up and its worker coming round, every polled register of every meter good (its last read
// succeeded, younger than the register's allowed age). One judgement for whichever output shows
// it; the HTTP server answers GET /healthz with it.
//
// Nothing is taken as healthy before data came: a register not answered yet is "starting" for its
// allowed age after the start, then "no answer"; a register whose last read failed is unhealthy
// even while its latest good value is young, as every output serves it as failed.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "service/core/live_cell.h"
#include "service/core/service_config.h"

namespace service {

class ServiceRuntime;

enum class HealthStatus : std::uint8_t {
    kHealthy,
    kStarting,  // the only problems are registers not answered yet within their allowed age
    kUnhealthy,
};

// From the mildest to the worst: a meter with several is reported by its worst.
enum class HealthProblemKind : std::uint8_t {
    kStarting,     // not answered yet, its allowed age since the start not passed
    kNoAnswer,     // not answered since the start, its allowed age passed
    kStale,        // the latest good value is older than the allowed age
    kFailed,       // the last read failed
    kSilent,       // the meter stopped answering (asked again with its backoff)
    kLineLost,     // the line could not be opened, or no meter on it answers
    kWorkerStuck,  // the line's worker has not come round for longer than an exchange can take
};

const char* HealthProblemName(HealthProblemKind kind);

struct HealthProblem {
    std::string line;
    std::optional<std::int16_t> station;  // nullopt: the line itself
    HealthProblemKind kind = HealthProblemKind::kStarting;
    std::vector<std::string> registers;  // of a meter: its registers that are not good
    // Of a meter: when the oldest latest good value among those registers came, and its age;
    // nullopt when one of them never had a good value.
    std::optional<std::int64_t> lastGoodUtcMs;
    std::optional<std::chrono::milliseconds> lastGoodAge;
    std::string detail;  // why the line is lost, or the last error of a failed register
};

struct HealthReport {
    HealthStatus status = HealthStatus::kHealthy;
    std::vector<HealthProblem> problems;  // in the configuration's order of lines and meters
};

// One line as the judgement sees it, copied out of the live table.
struct LineHealthInput {
    std::string name;
    LineState state = LineState::kStarting;
    std::string lostReason;
    SteadyTime heartbeat{};  // when the worker last came round
    std::chrono::milliseconds stuckAfter{0};
    std::vector<LiveCell> cells;
    std::set<std::int16_t> silentStations;
};

// How long a line's worker may go without coming round: its longest exchange (the reply timeout
// and the reply on the wire) and a second more, as the watchdog takes it.
std::chrono::milliseconds WorkerStuckAfter(const LineConfig& line);

// The judgement of `lines` at `now`, the service having started its lines at `startedAt`.
HealthReport JudgeHealth(std::span<const LineHealthInput> lines, SteadyTime startedAt,
                         SteadyTime now);
// The same of a running configuration.
HealthReport JudgeHealth(const ServiceRuntime& runtime, SteadyTime now);

}  // namespace service
