#include "tools/sim/simulation.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <optional>
#include <random>
#include <vector>

#include "tools/sim/config.h"

namespace sim {
namespace {

bool Refuse(std::string& usageError, const std::string& message) {
    usageError = message;
    return false;
}

// "N" or "N:MODEL".
bool ParseStationSpec(const std::string& argument, int& station, Model& model) {
    const std::size_t colon = argument.find(':');
    const std::string number = argument.substr(0, colon);
    if (number.empty() || number.size() > 2 ||
        number.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    station = std::stoi(number);
    model = Model::kDefault;
    return colon == std::string::npos || ParseModel(argument.substr(colon + 1), model);
}

bool ParseNumber(const std::string& text, double& value) {
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    value = std::strtod(text.c_str(), &end);
    return errno == 0 && end == text.c_str() + text.size() && std::isfinite(value);
}

// "STATION:MNEMONIC=VALUE".
bool ParseSetSpec(const std::string& argument, int& station, std::string& mnemonic, double& value) {
    const std::size_t colon = argument.find(':');
    const std::size_t equals = argument.find('=');
    if (colon == std::string::npos || equals == std::string::npos || equals < colon) return false;
    const std::string number = argument.substr(0, colon);
    if (number.empty() || number.size() > 2 ||
        number.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    station = std::stoi(number);
    mnemonic = argument.substr(colon + 1, equals - colon - 1);
    return !mnemonic.empty() && ParseNumber(argument.substr(equals + 1), value);
}

}  // namespace

bool BuildSimulation(const Options& options, Simulation& simulation, std::string& usageError) {
    Config config;
    std::string error;
    if (!options.configPath.empty() && !LoadConfig(options.configPath, config, error)) {
        return Refuse(usageError, "--config " + error);
    }
    std::uint64_t seed = std::random_device{}();
    if (config.seed) seed = *config.seed;
    if (options.seedGiven) seed = options.seed;

    simulation.seed = seed;
    simulation.instrument = std::make_unique<Instrument>(seed, options.frozen);
    Instrument& instrument = *simulation.instrument;
    for (const StationConfig& station : config.stations) {
        if (!instrument.AddStation(station.station, station.model, error)) {
            return Refuse(usageError, "--config " + options.configPath + ": " + error);
        }
    }
    for (const std::string& argument : options.stations) {
        int number = 0;
        Model model = Model::kDefault;
        if (!ParseStationSpec(argument, number, model)) {
            return Refuse(usageError,
                          "--station expects N or N:MODEL with N in 0..99 and MODEL "
                          "QM4720N or default, got \"" +
                              argument + "\"");
        }
        if (!instrument.AddStation(number, model, error))
            return Refuse(usageError, "--station: " + error);
    }
    if (instrument.stations().empty()) instrument.AddStation(1, Model::kDefault, error);
    for (const StationConfig& station : config.stations) {
        for (const auto& [mnemonic, value] : station.values) {
            if (!instrument.FindStation(station.station)->Set(mnemonic, value, error)) {
                return Refuse(usageError, "--config " + options.configPath + ": " + error);
            }
        }
    }
    for (const std::string& argument : options.sets) {
        int number = 0;
        std::string mnemonic;
        double value = 0.0;
        if (!ParseSetSpec(argument, number, mnemonic, value)) {
            return Refuse(usageError,
                          "--set expects STATION:REGISTER=NUMBER such as 1:SP=120.5, got \"" +
                              argument + "\"");
        }
        Station* station = instrument.FindStation(number);
        if (station == nullptr) {
            return Refuse(usageError, "--set " + argument + ": station " + std::to_string(number) +
                                          " is not simulated (add --station " +
                                          std::to_string(number) + ")");
        }
        if (!station->Set(mnemonic, value, error))
            return Refuse(usageError, "--set " + argument + ": " + error);
    }

    simulation.faults = std::make_unique<FaultPlan>(seed);
    FaultPlan& faults = *simulation.faults;
    faults.SetSplitGapMs(options.splitGapMs);
    for (const auto& [fault, rate] : config.faults) {
        if (!faults.SetRate(fault, rate, error)) return Refuse(usageError, "--config: " + error);
    }
    for (const std::string& argument : options.faults) {
        const std::size_t equals = argument.find('=');
        const std::optional<Fault> fault = FaultFromName(
            argument.substr(0, equals == std::string::npos ? argument.size() : equals));
        double rate = 0.0;
        if (equals == std::string::npos || !fault || *fault == Fault::kNone ||
            !ParseNumber(argument.substr(equals + 1), rate)) {
            return Refuse(usageError, "--fault expects NAME=RATE with NAME one of " +
                                          FaultNameList() + " and RATE in 0..1, got \"" + argument +
                                          "\"");
        }
        if (!faults.SetRate(*fault, rate, error))
            return Refuse(usageError, "--fault " + argument + ": " + error);
    }
    std::vector<Fault> script;
    for (const std::string& name : options.script) {
        const std::optional<Fault> fault = FaultFromName(name);
        if (!fault) {
            return Refuse(usageError, "--script expects a comma-separated list of ok, " +
                                          FaultNameList() + "; got \"" + name + "\"");
        }
        script.push_back(*fault);
    }
    faults.SetScript(std::move(script));
    return true;
}

}  // namespace sim
