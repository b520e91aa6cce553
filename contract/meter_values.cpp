#include "contract/meter_values.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <string_view>

#include "contract/data_type.h"
#include "contract/value_fields.h"

namespace contract {
namespace {

constexpr std::string_view kIntRefusal = "INT, expected a whole number -32768..32767";
constexpr std::string_view kFloatRefusal =
    "FLOAT, expected a value that fits the meter's six characters with one decimal, "
    "-999.9..9999.9";
constexpr std::string_view kBitRefusal = "BIT, expected 0 or 1";
constexpr std::string_view kTypeRefusal = "the register's data type cannot be written";

}  // namespace

WriteFit FitWrite(std::uint16_t type, double value) {
    if (type == kTypeInt) {
        if (!std::isfinite(value) || value != std::trunc(value) || value < -32768 ||
            value > 32767) {
            return {std::nullopt, kIntRefusal};
        }
        return {value, {}};
    }
    if (type == kTypeBit) {
        if (value != 0 && value != 1) return {std::nullopt, kBitRefusal};
        return {value, {}};
    }
    if (type != kTypeFloat) return {std::nullopt, kTypeRefusal};
    // Beyond a float's range the cast below would be undefined; such a value never fits anyway.
    if (!std::isfinite(value) || std::fabs(value) > std::numeric_limits<float>::max()) {
        return {std::nullopt, kFloatRefusal};
    }
    QM4720ValueSlot slot{};
    slot.asFloat = static_cast<float>(value);
    contract::DataField field{};
    if (contract::EncodeDataField(type, slot, field) != contract::EncodeRefusal::kNone) {
        return {std::nullopt, kFloatRefusal};
    }
    const auto decoded =
        contract::DecodeDataField(type, std::string_view(field.data(), field.size()));
    if (!decoded) return {std::nullopt, kFloatRefusal};
    return {MeterDecimal(static_cast<float>(decoded->AsNumber())), {}};
}

double MeterDecimal(float value) {
    if (!std::isfinite(value)) return value;
    char text[32];
    const auto printed = std::to_chars(text, text + sizeof text, value);
    double shortest = value;
    std::from_chars(text, printed.ptr, shortest);
    return shortest;
}

double MeterDecimal(double value) {
    if (!std::isfinite(value) || std::fabs(value) > std::numeric_limits<float>::max()) {
        return value;
    }
    const auto narrow = static_cast<float>(value);
    return static_cast<double>(narrow) == value ? MeterDecimal(narrow) : value;
}

bool ReadBackMatches(double readBack, double sent) {
    return std::fabs(readBack - sent) <= 1e-6 * std::max(1.0, std::fabs(sent));
}

}  // namespace contract
