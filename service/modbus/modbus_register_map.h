// How the registers of the meters on one line appear as Modbus holding registers. As float32 (the
// default), register i of a meter model's table is the IEEE-754 float in holding registers 2i and
// 2i+1, in the line's word order; as int16, it is holding register i, the value times 10^scale as
// a signed 16-bit integer. Pure functions over plain data, so that the tests and the fuzz target
// feed them directly.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <vector>

#include "service/core/meter_gateway.h"

namespace service {

// The shape of the register table of the model of one station: what the server must know to
// judge an address before it asks the gateway.
struct StationRegisters {
    std::int16_t count = 0;          // registers in the model's table (indices 0 .. count-1)
    std::vector<bool> readOnly;      // by index; indices past its end are writable in the model
    std::vector<std::int8_t> scale;  // by index, for int16; indices past its end have 0
    bool IsReadOnly(std::int16_t index) const {
        return index >= 0 && static_cast<std::size_t>(index) < readOnly.size() && readOnly[index];
    }
    int ScaleOf(std::int16_t index) const {
        return index >= 0 && static_cast<std::size_t>(index) < scale.size() ? scale[index] : 0;
    }
};

// Station on the line (the Modbus unit identifier) -> its model's table.
using StationTables = std::map<std::int16_t, StationRegisters>;

// The Modbus exception codes this server sends.
enum class ModbusException : std::uint8_t {
    kNone = 0,
    kIllegalFunction = 0x01,
    kIllegalDataAddress = 0x02,
    kIllegalDataValue = 0x03,
    kDeviceFailure = 0x04,
    kGatewayPathUnavailable = 0x0A,
    kGatewayTargetFailed = 0x0B,
};

// The two holding registers of one value, in the order they are on the wire.
std::array<std::uint16_t, 2> FloatToWords(float value, WordOrder order);
float WordsToFloat(std::array<std::uint16_t, 2> words, WordOrder order);

// The int16 register of `value` x 10^scale, rounded half away from zero; nullopt when that is
// not finite or falls outside -32768..32767.
std::optional<std::uint16_t> ScaledToWord(double value, int scale);
// The value an int16 register stands for: the signed word / 10^scale.
double WordToScaled(std::uint16_t word, int scale);

// Holding registers of one table register: 2 as float32, 1 as int16.
constexpr int WordsPerValue(ModbusFormat format) {
    return format == ModbusFormat::kInt16 ? 1 : 2;
}

// A span of holding registers [first, first + count) as a run of whole table registers.
struct RegisterSpan {
    std::int16_t firstIndex = 0;
    std::int16_t indexCount = 0;
};

// The table registers that holding registers [first, first + count) cover, `wordsPerValue`
// registers to a value, or kIllegalDataAddress when the span starts or ends in the middle of a
// value or runs past the table (count >= 1).
ModbusException CoveredRegisters(const StationRegisters& table, int first, int count,
                                 int wordsPerValue, RegisterSpan& span);

// The exception a read of these cells must be answered with, kNone when every one is good: a cell
// that is not polled makes the whole read an illegal address; a failed or stale one, a gateway
// target failure. No part of a read is ever served when one cell is not good.
ModbusException ReadVerdict(std::span<const CellReading> cells);

// The exception for a write that the gateway answered with `outcome` (kNone for kDone).
ModbusException WriteVerdict(WriteOutcome outcome);

}  // namespace service
