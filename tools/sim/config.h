// Reading the simulator's JSON configuration file:
//   {
//     "seed": 7,
//     "stations": [
//       {"station": 1, "model": "default", "values": {"SP": 120.5, "PN": 2}},
//       {"station": 12, "model": "QM4720N"}
//     ],
//     "faults": {"timeout": 0.1, "bad-bcc": 0.05}
//   }
// Every key is optional; unknown keys are refused, so that a misspelt one is not silently ignored.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tools/sim/faults.h"
#include "tools/sim/instrument.h"

namespace sim {

struct StationConfig {
    int station = 0;
    Model model = Model::kDefault;
    std::vector<std::pair<std::string, double>> values;  // in the file's order
};

struct Config {
    std::optional<std::uint64_t> seed;
    std::vector<StationConfig> stations;
    std::vector<std::pair<Fault, double>> faults;
};

// False with `error` naming the file and what was expected.
bool LoadConfig(const std::string& path, Config& config, std::string& error);

}  // namespace sim
