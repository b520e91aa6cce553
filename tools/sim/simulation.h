// The instruments and the fault plan of a run, as the options and the configuration file describe
// them.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "tools/sim/command_line.h"
#include "tools/sim/faults.h"
#include "tools/sim/instrument.h"

namespace sim {

struct Simulation {
    std::uint64_t seed = 0;  // of every random choice: the same seed gives the same run
    std::unique_ptr<Instrument> instrument;
    std::unique_ptr<FaultPlan> faults;
};

// Builds the run of `options` (and of its --config file). False with `usageError` set to the text
// of the usage error when an option or the file is wrong.
bool BuildSimulation(const Options& options, Simulation& simulation, std::string& usageError);

}  // namespace sim
