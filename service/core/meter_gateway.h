// What a front end of qm4720d asks of a serial line, one gateway per line:
// the value to answer a read with, and a way to hand a write to the worker that owns the line.
//
// A front end never touches a serial line itself: Read answers from memory at once, whatever the
// line is doing; Write refuses what the meter cannot be sent as asked, else queues the exchange on
// the line's worker and blocks the calling thread until the meter answered or the exchange
// failed, and logs the write once whatever came of it. Both may be called from any thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "service/core/cell_state.h"
#include "service/core/client_address.h"

namespace service {

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

// What one table register is on the wire.
enum class ModbusFormat : std::uint8_t {
    kFloat32,  // an IEEE-754 float in two registers (the default)
    kInt16,    // one signed register: the value times 10^scale, for clients that read integers only
};

struct ModbusListenerSettings {
    std::string address = "127.0.0.1";
    std::uint16_t port = 0;  // 0: this line has no listener
    WordOrder wordOrder = WordOrder::kHighWordFirst;
    ModbusFormat format = ModbusFormat::kFloat32;
    int maxClients = 16;
    std::chrono::milliseconds idleTimeout{60000};
    // The clients that may write (functions 05, 06, 0F, 10, 16, 17); the others' writes are
    // answered with exception 01. nullopt: every client may.
    std::optional<std::vector<AddressRange>> writeClients;
};

}  // namespace service
