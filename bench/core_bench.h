// The driver's core operations timed with Google Benchmark, in process, without a port.
#pragma once

#include <string>
#include <vector>

namespace bench {

struct CoreRow {
    std::string name;
    int items = 0;         // for the item-decoding runs: items in the request, else 0
    double nsPerCall = 0;  // median over the repetitions of the wall time per call
    double cpuNsPerCall = 0;
};

// Runs every core benchmark, each for at least `minTimeSeconds` per repetition, `repetitions`
// times; false when the library could not run them.
bool RunCoreBenchmarks(const char* program, double minTimeSeconds, int repetitions,
                       std::vector<CoreRow>& rows);

}  // namespace bench
