// What the Modbus server of qm4720d asks of the rest of the service, one gateway per serial line:
// the value to answer a read with, and a way to hand a write to the worker that owns the line.
//
// The server never touches a serial line itself: Read answers from memory at once, whatever the
// line is doing; Write refuses what the meter cannot be sent as asked, else queues the exchange on
// the line's worker and blocks the calling thread until the meter answered or the exchange
// failed, and logs the write once whatever came of it. Both may be called from any thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace service {

// One register of one meter as the server sees it.
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

// A write's outcome in words, as the log and HTTP answers say it; MQTT joins the words with '-'
// (topics' payloads keep the spelling they were published with).
constexpr std::string_view WriteOutcomeText(WriteOutcome outcome) {
    switch (outcome) {
        case WriteOutcome::kDone:
            return "done";
        case WriteOutcome::kNotWritable:
            return "not writable";
        case WriteOutcome::kRefusedByDriver:
            return "refused by driver";
        case WriteOutcome::kRefusedByMeter:
            return "refused by meter";
        case WriteOutcome::kNoAnswer:
            break;
    }
    return "no answer";
}

struct WriteResult {
    WriteOutcome outcome = WriteOutcome::kNoAnswer;
    // The value put on the line, as the meter holds it after a done write (42.123456 is sent as
    // 42.123); nullopt when the write was refused before the line.
    std::optional<double> sent;
};

class MeterGateway {
public:
    virtual ~MeterGateway() = default;
    // `station`: the meter's station on this line; `index`: the register's index in the meter
    // model's table.
    virtual CellReading Read(std::int16_t station, std::int16_t index) const = 0;
    // `who`: the front end and the peer that asked ("Modbus 127.0.0.1:50312"), for the log.
    virtual WriteResult Write(std::int16_t station, std::int16_t index, double value,
                              std::string_view who) = 0;
};

// The Modbus TCP listener of one line, as configured.
enum class WordOrder : std::uint8_t {
    kHighWordFirst,  // holding register 2i holds the float's high 16 bits (the default)
    kLowWordFirst,
};

struct ModbusListenerSettings {
    std::string address = "127.0.0.1";
    std::uint16_t port = 0;  // 0: this line has no listener
    WordOrder wordOrder = WordOrder::kHighWordFirst;
    int maxClients = 16;
    std::chrono::seconds idleTimeout{60};
};

}  // namespace service
