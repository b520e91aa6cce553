#include "tools/sim/config.h"

#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

namespace sim {
namespace {

using nlohmann::json;

bool Fail(std::string& error, const std::string& path, const std::string& what) {
    error = path + ": " + what;
    return false;
}

bool ReadStation(const json& entry, std::size_t index, StationConfig& station,
                 const std::string& path, std::string& error) {
    const std::string where = "stations[" + std::to_string(index) + "]";
    if (!entry.is_object()) return Fail(error, path, where + " must be an object");
    for (const auto& [key, value] : entry.items()) {
        if (key == "station") {
            if (!value.is_number_integer() || value.get<std::int64_t>() < 0 ||
                value.get<std::int64_t>() > 99) {
                return Fail(error, path, where + ".station must be a whole number in 0..99");
            }
            station.station = value.get<int>();
        } else if (key == "model") {
            if (!value.is_string() || !ParseModel(value.get<std::string>(), station.model)) {
                return Fail(error, path, where + ".model must be \"default\" or \"QM4720N\"");
            }
        } else if (key == "values") {
            if (!value.is_object()) {
                return Fail(error, path, where + ".values must be an object of MNEMONIC: number");
            }
            for (const auto& [mnemonic, number] : value.items()) {
                if (!number.is_number()) {
                    return Fail(error, path, where + ".values." + mnemonic + " must be a number");
                }
                station.values.emplace_back(mnemonic, number.get<double>());
            }
        } else {
            return Fail(error, path,
                        where + ": unknown key \"" + key + "\" (expected station, model, values)");
        }
    }
    if (!entry.contains("station")) return Fail(error, path, where + " needs \"station\"");
    return true;
}

}  // namespace

bool LoadConfig(const std::string& path, Config& config, std::string& error) {
    std::ifstream in(path);
    if (!in) return Fail(error, path, "cannot be read");
    std::stringstream text;
    text << in.rdbuf();
    const json root = json::parse(text.str(), nullptr, false);
    if (root.is_discarded()) return Fail(error, path, "is not valid JSON");
    if (!root.is_object()) return Fail(error, path, "must hold a JSON object");
    for (const auto& [key, value] : root.items()) {
        if (key == "seed") {
            if (!value.is_number_unsigned()) {
                return Fail(error, path, "seed must be a whole number of 0 or more");
            }
            config.seed = value.get<std::uint64_t>();
        } else if (key == "stations") {
            if (!value.is_array()) return Fail(error, path, "stations must be an array");
            for (std::size_t i = 0; i < value.size(); ++i) {
                StationConfig station;
                if (!ReadStation(value[i], i, station, path, error)) return false;
                config.stations.push_back(std::move(station));
            }
        } else if (key == "faults") {
            if (!value.is_object()) {
                return Fail(error, path, "faults must be an object of NAME: rate");
            }
            for (const auto& [name, rate] : value.items()) {
                const std::optional<Fault> fault = FaultFromName(name);
                if (!fault || *fault == Fault::kNone) {
                    return Fail(
                        error, path,
                        "unknown fault \"" + name + "\" (expected " + FaultNameList() + ")");
                }
                if (!rate.is_number()) {
                    return Fail(error, path, "faults." + name + " must be a number in 0..1");
                }
                config.faults.emplace_back(*fault, rate.get<double>());
            }
        } else {
            return Fail(error, path,
                        "unknown key \"" + key + "\" (expected seed, stations, faults)");
        }
    }
    return true;
}

}  // namespace sim
