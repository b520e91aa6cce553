#include "service/http/live_json.h"

#include <nlohmann/json.hpp>

#include "service/core/cell_json.h"

namespace service {
namespace {

using Json = nlohmann::ordered_json;

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

std::string LiveJson(const ServiceConfig& config, const LiveTable& live, SteadyTime now,
                     std::int64_t nowUtcMs, std::span<const StatusMember> members) {
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
    for (const StatusMember& member : members) {
        root[member.name] = Json::parse(member.json, nullptr, false);
    }
    return root.dump(-1, ' ', false, Json::error_handler_t::replace);
}

}  // namespace service
