#include "service/modbus/modbus_register_map.h"

#include <bit>
#include <cmath>

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

namespace {

// 10^n for the scales a register may have, exact in a double.
double PowerOfTen(int n) {
    double power = 1;
    for (int i = 0; i < n; ++i) power *= 10;
    return power;
}

}  // namespace

std::optional<std::uint16_t> ScaledToWord(double value, int scale) {
    // Dividing by an exact 10^n, not multiplying by an inexact 0.1, keeps 250 at scale -1 at 25.
    const double scaled = scale >= 0 ? value * PowerOfTen(scale) : value / PowerOfTen(-scale);
    if (!std::isfinite(scaled)) return std::nullopt;
    const double whole = std::round(scaled);
    if (whole < -32768 || whole > 32767) return std::nullopt;
    return static_cast<std::uint16_t>(static_cast<std::int16_t>(whole));
}

double WordToScaled(std::uint16_t word, int scale) {
    const double whole = static_cast<std::int16_t>(word);
    return scale >= 0 ? whole / PowerOfTen(scale) : whole * PowerOfTen(-scale);
}

ModbusException CoveredRegisters(const StationRegisters& table, int first, int count,
                                 int wordsPerValue, RegisterSpan& span) {
    // Both ends must fall on a value's boundary: half a float is not a value of the meter.
    if (first < 0 || count < 1 || first % wordsPerValue != 0 || count % wordsPerValue != 0) {
        return ModbusException::kIllegalDataAddress;
    }
    if (first / wordsPerValue + count / wordsPerValue > table.count) {
        return ModbusException::kIllegalDataAddress;
    }
    span.firstIndex = static_cast<std::int16_t>(first / wordsPerValue);
    span.indexCount = static_cast<std::int16_t>(count / wordsPerValue);
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
