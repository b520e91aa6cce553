// Where poll's readings go: rows in the chosen format, one wide CSV row a cycle (--wide), or a
// text table a cycle, redrawn in place on a terminal and appended elsewhere.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "qm4720/qm4720.hpp"
#include "tools/ctl/commands.h"

namespace ctl {

// One reading of a cycle, as it came out.
struct PollSample {
    int station = 0;
    const qm4720::Register* reg = nullptr;
    qm4720::Reading reading;
    std::uint64_t attemptTime = 0;  // file time of the start of the exchange
    std::string status;             // "ok", "timeout", "reply-error", "error"
    std::string error;              // empty when ok
};

class PollOutput {
public:
    virtual ~PollOutput() = default;
    // Each reading as it comes; rows are written and flushed here where the format allows.
    virtual void Sample(const PollSample& sample) = 0;
    // The end of a cycle that started at `cycleTime` (a file time); `complete` is false when
    // Ctrl-C cut it short.
    virtual void EndCycle(std::uint64_t cycleTime, bool complete) = 0;
    // Writes what is left (a JSON document's end).
    virtual void Finish() = 0;
};

// The output that the options ask for, for these stations and registers.
std::unique_ptr<PollOutput> MakePollOutput(const Options& options, const std::vector<int>& stations,
                                           const std::vector<qm4720::Register>& registers);

}  // namespace ctl
