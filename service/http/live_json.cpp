#include "service/http/live_json.h"

#include <nlohmann/json.hpp>

#include "host/client/error_outcomes.h"
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

const PolledRegister* Polled(const MeterConfig& meter, int index) {
    for (const PolledRegister& p : meter.polled) {
        if (p.reg.index == index) return &p;
    }
    return nullptr;
}

// What the model's table says of a register, for whoever has not configured a label: the driver's
// table holds no prose, only the type, the index and whether it can be written.
std::string TableDescription(const MeterConfig& meter, const PolledRegister& polled) {
    const std::string model = meter.model.empty() ? "default" : meter.model;
    return std::string(qm4720::DataTypeName(polled.reg.type)) + " register " +
           std::to_string(polled.reg.index) + " of the " + model + " model's table, " +
           (polled.reg.readOnly ? "read-only" : "writable");
}

}  // namespace

std::string QualityText(const LiveCell& cell, CellState state, LineState line, bool silent) {
    switch (state) {
        case CellState::kGood:
            return "good";
        case CellState::kStale:
            return "stale";
        case CellState::kUnknown:
            return "not polled";
        case CellState::kFailed:
            break;
    }
    if (line == LineState::kLost) return "bad: line lost";
    if (silent) return "bad: no answer";
    if (!cell.answered) return "bad: no reading yet";
    return "bad: " + std::string(host::FailureOutcome(cell.errorCode));
}

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
            const bool silent = table.MeterSilent(meter.station);
            for (const LiveCell& cell : cells) {
                if (cell.station != meter.station) continue;
                Json r = CellJson(cell, now);
                r["quality_text"] = QualityText(cell, JudgeCell(cell, now), state, silent);
                const RegisterOptions* options = meter.Options(cell.index);
                r["label"] = options != nullptr ? options->label : std::string();
                r["unit"] = options != nullptr ? options->unit : std::string();
                const PolledRegister* polled = Polled(meter, cell.index);
                r["description"] =
                    polled != nullptr ? TableDescription(meter, *polled) : std::string();
                registers.push_back(std::move(r));
            }
            Json m;
            m["station"] = meter.station;
            m["model"] = meter.model.empty() ? "default" : meter.model;
            m["state"] = MeterState(state, silent, registers);
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
