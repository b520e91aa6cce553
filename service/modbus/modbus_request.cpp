#include "service/modbus/modbus_request.h"

#include <algorithm>
#include <cmath>

namespace service {

namespace {

// The MBAP header of Modbus TCP: transaction (2), protocol (2), length (2), unit (1).
constexpr std::size_t kHeaderLength = 7;

int Word(std::span<const std::uint8_t> bytes, std::size_t at) {
    return (bytes[at] << 8) | bytes[at + 1];
}

bool IsWrite(std::uint8_t function) {
    return function == MODBUS_FC_WRITE_SINGLE_COIL || function == MODBUS_FC_WRITE_SINGLE_REGISTER ||
           function == MODBUS_FC_WRITE_MULTIPLE_COILS ||
           function == MODBUS_FC_WRITE_MULTIPLE_REGISTERS ||
           function == MODBUS_FC_MASK_WRITE_REGISTER ||
           function == MODBUS_FC_WRITE_AND_READ_REGISTERS;
}

}  // namespace

ModbusMapping NewReplyMapping(const StationTables& tables) {
    int registers = 2;
    for (const auto& [station, table] : tables) registers = std::max(registers, 2 * table.count);
    return ModbusMapping(modbus_mapping_new_start_address(0, 0, 0, 0, 0, registers, 0, registers));
}

RequestDecision ModbusRequestHandler::Decide(std::span<const std::uint8_t> request) const {
    RequestDecision decision;
    // libmodbus frames a request by its function code alone and never looks at the header's
    // length; one that disagrees with the frame would leave the rest of the stream out of step.
    if (request.size() < kHeaderLength + 1 || Word(request, 2) != 0 ||
        static_cast<std::size_t>(Word(request, 4)) != request.size() - 6) {
        decision.malformed = true;
        return decision;
    }
    const auto station = static_cast<std::int16_t>(request[6]);
    const auto function = request[kHeaderLength];
    // Codes from 0x80 up are the exception replies' own; 0 is no function. Neither can be
    // answered with an exception (function | 0x80) that the client could tell from a reply.
    if (function == 0 || function >= 0x80) {
        decision.malformed = true;
        return decision;
    }
    if (!mayWrite_ && IsWrite(function)) {
        decision.exception = ModbusException::kIllegalFunction;
        decision.writeRefused = true;
        return decision;
    }
    const auto body = request.subspan(kHeaderLength + 1);
    const bool known = function == MODBUS_FC_READ_HOLDING_REGISTERS ||
                       function == MODBUS_FC_READ_INPUT_REGISTERS ||
                       function == MODBUS_FC_WRITE_SINGLE_REGISTER ||
                       function == MODBUS_FC_WRITE_MULTIPLE_REGISTERS;
    if (!known) {
        decision.exception = ModbusException::kIllegalFunction;
        return decision;
    }
    // A single write is the address and one value, nothing more: bytes after it would be read as
    // the value of a longer frame that the header's length vouched for.
    if (body.size() < 4 || (function == MODBUS_FC_WRITE_SINGLE_REGISTER && body.size() != 4) ||
        (function == MODBUS_FC_WRITE_MULTIPLE_REGISTERS &&
         (body.size() < 5 || body.size() != 5u + body[4]))) {
        decision.malformed = true;
        return decision;
    }
    const int address = Word(body, 0);
    const int count = Word(body, 2);
    switch (function) {
        case MODBUS_FC_READ_HOLDING_REGISTERS:
        case MODBUS_FC_READ_INPUT_REGISTERS:
            if (count < 1 || count > MODBUS_MAX_READ_REGISTERS) {
                decision.exception = ModbusException::kIllegalDataValue;
                return decision;
            }
            return DecideRead(station, address, count);
        case MODBUS_FC_WRITE_SINGLE_REGISTER:
            if (format_ == ModbusFormat::kInt16) {
                // The body is the address and the one register's value.
                decision.exception = DecideWrite(station, address, 1, body.subspan(2));
            } else {
                decision.exception = tables_.contains(station)
                                         ? ModbusException::kIllegalDataAddress
                                         : ModbusException::kGatewayPathUnavailable;
            }
            return decision;
        default:
            if (count < 1 || count > MODBUS_MAX_WRITE_REGISTERS || body[4] != 2 * count) {
                decision.exception = ModbusException::kIllegalDataValue;
                return decision;
            }
            decision.exception = DecideWrite(station, address, count, body.subspan(5));
            return decision;
    }
}

RequestDecision ModbusRequestHandler::DecideRead(std::int16_t station, int first, int count) const {
    RequestDecision decision;
    const auto table = tables_.find(station);
    if (table == tables_.end()) {
        decision.exception = ModbusException::kGatewayPathUnavailable;
        return decision;
    }
    RegisterSpan span;
    decision.exception =
        CoveredRegisters(table->second, first, count, WordsPerValue(format_), span);
    if (decision.exception != ModbusException::kNone) return decision;

    std::array<CellReading, MODBUS_MAX_READ_REGISTERS> cells;
    for (int k = 0; k < span.indexCount; ++k) {
        cells[k] = gateway_.Read(station, static_cast<std::int16_t>(span.firstIndex + k));
    }
    decision.exception = ReadVerdict(std::span(cells).first(span.indexCount));
    if (decision.exception != ModbusException::kNone) return decision;
    for (int k = 0; k < span.indexCount; ++k) {
        if (format_ == ModbusFormat::kInt16) {
            const auto index = static_cast<std::int16_t>(span.firstIndex + k);
            const auto word = ScaledToWord(cells[k].value, table->second.ScaleOf(index));
            if (!word) {
                decision.exception = ModbusException::kGatewayTargetFailed;
                return decision;
            }
            decision.words[k] = *word;
        } else {
            const auto words = FloatToWords(static_cast<float>(cells[k].value), order_);
            decision.words[2 * k] = words[0];
            decision.words[2 * k + 1] = words[1];
        }
    }
    decision.isRead = true;
    decision.first = first;
    decision.count = count;
    return decision;
}

ModbusException ModbusRequestHandler::DecideWrite(std::int16_t station, int first, int count,
                                                  std::span<const std::uint8_t> data) const {
    const auto table = tables_.find(station);
    if (table == tables_.end()) return ModbusException::kGatewayPathUnavailable;
    RegisterSpan span;
    if (const auto verdict =
            CoveredRegisters(table->second, first, count, WordsPerValue(format_), span);
        verdict != ModbusException::kNone) {
        return verdict;
    }
    // One value per request, so that the reply says what the meter did with exactly that value.
    if (span.indexCount != 1 || table->second.IsReadOnly(span.firstIndex)) {
        return ModbusException::kIllegalDataAddress;
    }
    const double value = ValueOfWords(data, table->second, span.firstIndex);
    if (!std::isfinite(value)) return ModbusException::kIllegalDataValue;
    return WriteVerdict(gateway_.Write(station, span.firstIndex, value, who_).outcome);
}

double ModbusRequestHandler::ValueOfWords(std::span<const std::uint8_t> data,
                                          const StationRegisters& table, std::int16_t index) const {
    if (format_ == ModbusFormat::kInt16) {
        return WordToScaled(static_cast<std::uint16_t>(Word(data, 0)), table.ScaleOf(index));
    }
    const auto words = std::array<std::uint16_t, 2>{static_cast<std::uint16_t>(Word(data, 0)),
                                                    static_cast<std::uint16_t>(Word(data, 2))};
    return WordsToFloat(words, order_);
}

bool ModbusRequestHandler::Answer(modbus_t* ctx, std::span<const std::uint8_t> request,
                                  modbus_mapping_t& mapping) {
    const auto decision = Decide(request);
    if (decision.malformed) return false;
    if (decision.writeRefused) ++writesRefused_;
    const auto length = static_cast<int>(request.size());
    if (decision.exception != ModbusException::kNone) {
        return modbus_reply_exception(ctx, request.data(),
                                      static_cast<unsigned>(decision.exception)) >= 0;
    }
    if (decision.isRead) {
        // libmodbus builds the reply from the mapping, so the values go where the request reads.
        auto* target = request[kHeaderLength] == MODBUS_FC_READ_INPUT_REGISTERS
                           ? mapping.tab_input_registers
                           : mapping.tab_registers;
        std::copy_n(decision.words.begin(), decision.count, target + decision.first);
    }
    return modbus_reply(ctx, request.data(), length, &mapping) >= 0;
}

}  // namespace service
