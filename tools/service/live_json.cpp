#include "tools/service/live_json.h"

#include <ctime>

#include <nlohmann/json.hpp>

#include "host/client/error_outcomes.h"

namespace service {
namespace {

using Json = nlohmann::ordered_json;

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

Json CellJson(const LiveCell& cell, SteadyTime now) {
    const CellState state = JudgeCell(cell, now);
    const auto age = CellAge(cell, now);
    Json j;
    j["register"] = cell.mnemonic;
    j["index"] = cell.index;
    j["state"] = CellStateName(state);
    j["value"] = state == CellState::kGood ? Json(cell.value) : Json(nullptr);
    j["quality"] = cell.quality;
    j["time"] = cell.answered ? Json(IsoUtc(cell.utcMs)) : Json(nullptr);
    j["age_ms"] = age ? Json(age->count()) : Json(nullptr);
    j["latency_ms"] = cell.latencyMs;
    j["error_code"] = cell.errorCode;
    // The driver's messages are GBK, converted to UTF-8 by the host library; anything that is
    // still not UTF-8 is replaced rather than refused.
    j["error"] = cell.errorText;
    j["gloss"] = std::string(host::Gloss(cell.errorCode));
    return j;
}

std::string MeterState(LineState line, bool silent, const Json& registers) {
    if (line == LineState::kLost) return "line lost";
    // Nothing polled, nothing known: such a meter is not answering as far as anyone can tell.
    if (registers.empty()) return "not polled";
    if (silent) return "silent";
    std::size_t good = 0, stale = 0;
    for (const Json& r : registers) {
        // Compared as a std::string: GCC 12's -O2 takes json == "literal" for an out-of-bounds
        // read (-Warray-bounds) and the Release build stops.
        const auto& state = r["state"].get_ref<const std::string&>();
        if (state == "good") ++good;
        if (state == "stale") ++stale;
    }
    if (good == registers.size()) return "answering";
    if (good == 0 && stale == 0) return "failed";
    return "stale";
}

}  // namespace

std::string IsoUtc(std::int64_t utcMs) {
    const std::time_t seconds = static_cast<std::time_t>(utcMs / 1000);
    std::tm tm{};
    gmtime_r(&seconds, &tm);
    char text[32];
    const std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &tm);
    std::snprintf(text + n, sizeof text - n, ".%03dZ", static_cast<int>(utcMs % 1000));
    return text;
}

std::string LiveJson(const ServiceConfig& config, const LiveTable& live, SteadyTime now,
                     std::int64_t nowUtcMs, const HistoryWriter* history) {
    Json root;
    root["time"] = IsoUtc(nowUtcMs);
    Json lines = Json::array();
    for (std::size_t i = 0; i < config.lines.size(); ++i) {
        const LineConfig& line = config.lines[i];
        const LineTable& table = *live.Lines()[i];
        const LineState state = table.State();
        const std::vector<LiveCell> cells = table.Snapshot();
        Json meters = Json::array();
        for (const MeterConfig& meter : line.meters) {
            Json registers = Json::array();
            for (const LiveCell& cell : cells) {
                if (cell.station == meter.station) registers.push_back(CellJson(cell, now));
            }
            Json m;
            m["station"] = meter.station;
            m["model"] = meter.model.empty() ? "default" : meter.model;
            m["state"] = MeterState(state, table.MeterSilent(meter.station), registers);
            m["registers"] = std::move(registers);
            meters.push_back(std::move(m));
        }
        Json l;
        l["name"] = line.name;
        l["port"] = line.port;
        l["state"] = LineStateName(state);
        if (state == LineState::kLost) l["reason"] = table.LostReason();
        l["meters"] = std::move(meters);
        lines.push_back(std::move(l));
    }
    root["lines"] = std::move(lines);
    if (history != nullptr) {
        const HistoryCounters c = history->Counters();
        Json h;
        h["state"] = c.failing ? "failing" : "writing";
        h["error"] = c.error;
        h["rows_dropped"] = c.rowsDropped;
        root["history"] = std::move(h);
    } else {
        root["history"] = nullptr;
    }
    return root.dump(-1, ' ', false, Json::error_handler_t::replace);
}

}  // namespace service
