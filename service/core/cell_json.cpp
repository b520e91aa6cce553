#include "service/core/cell_json.h"

#include <cstdio>
#include <ctime>

#include "host/client/error_outcomes.h"

namespace service {

const char* CellStateName(CellState state) {
    switch (state) {
        case CellState::kGood:
            return "good";
        case CellState::kStale:
            return "stale";
        case CellState::kFailed:
            return "failed";
        case CellState::kUnknown:
            break;
    }
    return "unknown";
}

CellJsonValue CellJson(const LiveCell& cell, SteadyTime now) {
    const CellState state = JudgeCell(cell, now);
    const auto age = CellAge(cell, now);
    CellJsonValue j;
    j["register"] = cell.mnemonic;
    j["index"] = cell.index;
    j["state"] = CellStateName(state);
    j["value"] = state == CellState::kGood ? CellJsonValue(cell.value) : CellJsonValue(nullptr);
    j["quality"] = cell.quality;
    j["time"] = cell.answered ? CellJsonValue(IsoUtc(cell.utcMs)) : CellJsonValue(nullptr);
    j["age_ms"] = age ? CellJsonValue(age->count()) : CellJsonValue(nullptr);
    j["latency_ms"] = cell.latencyMs;
    j["error_code"] = cell.errorCode;
    // The driver's messages are GBK, converted to UTF-8 by the host library; anything that is
    // still not UTF-8 is replaced rather than refused.
    j["error"] = cell.errorText;
    j["gloss"] = std::string(host::Gloss(cell.errorCode));
    return j;
}

std::string IsoUtc(std::int64_t utcMs) {
    const std::time_t seconds = static_cast<std::time_t>(utcMs / 1000);
    std::tm tm{};
    gmtime_r(&seconds, &tm);
    char text[32];
    const std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &tm);
    std::snprintf(text + n, sizeof text - n, ".%03dZ", static_cast<int>(utcMs % 1000));
    return text;
}

}  // namespace service
