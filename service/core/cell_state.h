// The words every part of qm4720d uses for a register's value and for a write: what a cell holds
// for whoever serves it, and what came of a write, whichever front end asked for it.
#pragma once

#include <cstdint>
#include <optional>

namespace service {

// One register of one meter as a front end sees it.
enum class CellState : std::uint8_t {
    kUnknown,  // no such station on the line, or the register is not polled
    kGood,     // the last read succeeded and is younger than the register's allowed age
    kFailed,   // the last read failed (or none has completed yet)
    kStale,    // the last read succeeded but is older than the register's allowed age
};

struct CellReading {
    CellState state = CellState::kUnknown;
    double value = 0;  // meaningful only when kGood
};

enum class WriteOutcome : std::uint8_t {
    kDone,             // the meter acknowledged the value
    kNotWritable,      // no such register, not configured writable, or read-only in the model
    kRefusedByDriver,  // refused before the line: the meter's field cannot carry the value
    kRefusedByMeter,   // the meter answered with a refusal
    kNoAnswer,         // timeout, line lost, or the service is stopping
};

struct WriteResult {
    WriteOutcome outcome = WriteOutcome::kNoAnswer;
    // The value put on the line, as the meter holds it after a done write (42.123456 is sent as
    // 42.123); nullopt when the write was refused before the line.
    std::optional<double> sent;
};

}  // namespace service
