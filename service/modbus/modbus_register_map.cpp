#include "service/modbus/modbus_register_map.h"

#include <bit>

namespace service {

std::array<std::uint16_t, 2> FloatToWords(float value, WordOrder order) {
    const auto bits = std::bit_cast<std::uint32_t>(value);
    const auto high = static_cast<std::uint16_t>(bits >> 16);
    const auto low = static_cast<std::uint16_t>(bits & 0xFFFFu);
    if (order == WordOrder::kHighWordFirst) return {high, low};
    return {low, high};
}

float WordsToFloat(std::array<std::uint16_t, 2> words, WordOrder order) {
    const std::uint32_t high = order == WordOrder::kHighWordFirst ? words[0] : words[1];
    const std::uint32_t low = order == WordOrder::kHighWordFirst ? words[1] : words[0];
    return std::bit_cast<float>((high << 16) | low);
}

ModbusException CoveredRegisters(const StationRegisters& table, int first, int count,
                                 RegisterSpan& span) {
    // Both ends must fall on a value's boundary: half a float is not a value of the meter.
    if (first < 0 || count < 1 || first % 2 != 0 || count % 2 != 0) {
        return ModbusException::kIllegalDataAddress;
    }
    if (first / 2 + count / 2 > table.count) return ModbusException::kIllegalDataAddress;
    span.firstIndex = static_cast<std::int16_t>(first / 2);
    span.indexCount = static_cast<std::int16_t>(count / 2);
    return ModbusException::kNone;
}

ModbusException ReadVerdict(std::span<const CellReading> cells) {
    auto verdict = ModbusException::kNone;
    for (const auto& cell : cells) {
        switch (cell.state) {
            case CellState::kUnknown:
                return ModbusException::kIllegalDataAddress;
            case CellState::kFailed:
            case CellState::kStale:
                verdict = ModbusException::kGatewayTargetFailed;
                break;
            case CellState::kGood:
                break;
        }
    }
    return verdict;
}

ModbusException WriteVerdict(WriteOutcome outcome) {
    switch (outcome) {
        case WriteOutcome::kDone:
            return ModbusException::kNone;
        case WriteOutcome::kNotWritable:
            return ModbusException::kIllegalDataAddress;
        case WriteOutcome::kRefusedByDriver:
            return ModbusException::kIllegalDataValue;
        case WriteOutcome::kRefusedByMeter:
            return ModbusException::kDeviceFailure;
        case WriteOutcome::kNoAnswer:
            return ModbusException::kGatewayTargetFailed;
    }
    return ModbusException::kGatewayTargetFailed;
}

}  // namespace service
