// The command line of qm4720sim: its options, their help, and how a usage error is reported.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Declared, not included: the simulation and the serving loop see the options without parsing
// CLI11, the heaviest header of the program.
namespace CLI {
class App;
}

namespace sim {

inline constexpr int kUsageError = 2;
inline constexpr char kProgram[] = "qm4720sim";

struct Options {
    std::vector<std::string> stations;
    std::vector<std::string> sets;
    std::vector<std::string> faults;
    std::vector<std::string> script;
    std::string configPath;
    std::string linkPath;
    std::string devicePath;
    std::string forwardPath;
    std::uint64_t seed = 0;
    bool seedGiven = false;
    bool frozen = false;
    bool rawPty = false;
    bool verbose = false;
    int baud = 9600;
    int dataBits = 8;
    std::string parity = "none";
    int stopBits = 1;
    int replyDelayMs = 5;
    int splitGapMs = 40;
};

// Defines every option of the program on `app`, to be stored into `options`.
void DefineCommandLine(CLI::App& app, Options& options);

// Prints `message` and a pointer to --help on stderr; returns the usage error's exit status.
int UsageError(const std::string& message);

}  // namespace sim
