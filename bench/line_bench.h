// The driver on a line: the module called by a host against the simulator, which paces every byte
// it sends at the line's rate and turns each request round in a fixed time. Wall time is taken
// from the process's steady clock around the slot call, processor time from the calling thread's
// own clock (user + system).
//
// The simulated line is faster than a real one: the simulator paces the bytes it sends, but the
// driver's request crosses the pseudo-terminal at once, and each reply byte is written at the
// start of its character time, so a reply comes the request's wire time and one character
// earlier than on a real line. The floor that is judged keeps the real line's rule; the
// simulated line's is shown beside it. With the default 5 ms turnaround the reply is complete
// before the pause ends at every rate on both, so the two agree (the floor is the pause).
#pragma once

#include <string>
#include <vector>

namespace bench {

struct LineSetup {
    std::string simulatorPath;
    std::string modulePath;
    int turnaroundMs = 5;  // the simulator's --reply-delay
    int bitsPerChar = 10;  // 8N1
};

struct TransactionRow {
    int baud = 0;
    std::string model;      // the model name the request carries
    std::string direction;  // "read" or "write"
    int calls = 0;
    int failed = 0;  // calls that did not return 1
    double medianMs = 0;
    double p95Ms = 0;
    double pauseMs = 0;
    double arrivalMs = 0;
    double floorMs = 0;
    double simArrivalMs = 0;  // the same on the simulated line (see SimulatedLineFloor)
    double simFloorMs = 0;
    double cpuMs = 0;  // median processor time of the calling thread per call
};

struct PollRow {
    int baud = 0;
    int stations = 0;
    int cycles = 0;
    int failed = 0;
    double medianMs = 0;
    double p95Ms = 0;
    double expectedMs = 0;    // N x the single-read floor
    double readMedianMs = 0;  // the reads of the cycles, each on its own
    double readP95Ms = 0;
    int lateReads = 0;  // reads more than 2 ms over the single-read floor
};

struct ItemsRow {
    int baud = 0;
    int items = 0;
    int calls = 0;
    int failed = 0;
    double medianMs = 0;
    double cpuMs = 0;
    double extraWallUsPerItem = 0;  // (median(N) - median(1)) / (N - 1)
    double extraCpuUsPerItem = 0;
};

// A read of PV at `baud` directly on the simulator's pseudo-terminal and, interleaved with it,
// through ser2net (raw TCP on 127.0.0.1) in front of a second simulator and the host's bridge
// (host/oskit/bridge): the cost of a line through a serial device server beside the floor.
struct BridgeRow {
    std::string path;  // "direct" or "ser2net+bridge"
    int calls = 0;
    int failed = 0;
    double medianMs = 0;
    double p95Ms = 0;
    double floorMs = 0;
    double roundTripMs = 0;  // through the bridge: the median of its socket round trips
};

// False with `error` set when a simulator, ser2net or the bridge could not be brought up;
// `skipped` says why when ser2net is not installed (nothing is measured then).
bool MeasureBridge(const LineSetup& setup, int baud, int calls, std::vector<BridgeRow>& rows,
                   std::string& skipped, std::string& error);

// A read and a write of each model at `baud`, `calls` of each after a short warm-up, the four
// series interleaved so that a burst of load elsewhere on the machine falls on all of them.
// False with `error` set when the simulator or the driver could not be brought up.
bool MeasureTransactions(const LineSetup& setup, int baud, int calls,
                         std::vector<TransactionRow>& rows, std::string& error);

// Poll cycles over stations 1..N (one read each) for every N of `stationCounts`.
bool MeasurePollCycles(const LineSetup& setup, int baud, const std::vector<int>& stationCounts,
                       int callsPerCount, std::vector<PollRow>& rows, std::string& error);

// One read whose reply is decoded into N items, for every N of `itemCounts`.
bool MeasureItems(const LineSetup& setup, int baud, const std::vector<int>& itemCounts, int calls,
                  std::vector<ItemsRow>& rows, std::string& error);

}  // namespace bench
