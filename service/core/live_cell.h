// One register of one meter as the live table holds it, and the states of a line: what the line
// workers put in, the events tell and the outputs show.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "service/core/cell_state.h"

namespace service {

using SteadyTime = std::chrono::steady_clock::time_point;

// One register of one meter.
struct LiveCell {
    std::int16_t station = 0;
    std::string model;  // "" for the default model
    std::string mnemonic;
    std::int16_t index = -1;
    std::chrono::milliseconds interval{0};
    std::chrono::milliseconds allowedAge{0};

    bool answered = false;        // a result has come in (good or failed)
    bool ok = false;              // the last result was a good read
    bool everGood = false;        // some read succeeded; `value` is the latest good one
    double value = 0;             // the latest good value
    std::int16_t quality = 0;     // the driver's quality of the last result (192 good)
    std::int64_t utcMs = 0;       // when the last result came, ms since 1970-01-01 UTC
    std::int64_t goodUtcMs = 0;   // when the latest good value came
    SteadyTime goodAt{};          // the same on the steady clock, for the age
    double latencyMs = 0;         // of the last exchange
    std::int32_t errorCode = -1;  // DriverError of the last failure (-1: none)
    std::string errorText;        // its text (UTF-8), or what the service saw ("line lost")
};

// kGood, kFailed or kStale for a polled cell at `now`, by the rules of cell_state.h.
CellState JudgeCell(const LiveCell& cell, SteadyTime now);

// The age of the latest good value at `now`; nullopt when there has been none.
std::optional<std::chrono::milliseconds> CellAge(const LiveCell& cell, SteadyTime now);

enum class LineState : std::uint8_t {
    kStarting,  // not opened yet
    kUp,        // open and answering
    kLost,      // could not be opened, or nothing answered: reopened with backoff
};

const char* LineStateName(LineState state);

}  // namespace service
