#include "service/core/history_schema.h"

#include <bit>
#include <algorithm>
#include <cmath>

namespace service::history_schema {
namespace {

constexpr double kPowersOfTen[kMaxDecimals + 1] = {1.0, 1e1, 1e2, 1e3, 1e4,
                                                   1e5, 1e6, 1e7, 1e8, 1e9};

// Mantissas beyond this would not be exact in the double the view divides.
constexpr double kMaxMantissa = 1e15;

}  // namespace

std::variant<std::int64_t, double> EncodeValue(double value) {
    if (!std::isfinite(value)) return value;
    for (int decimals = 0; decimals <= kMaxDecimals; ++decimals) {
        const double scaled = std::round(value * kPowersOfTen[decimals]);
        if (std::fabs(scaled) > kMaxMantissa) break;
        const auto mantissa = static_cast<std::int64_t>(scaled);
        const std::int64_t stored = mantissa * 16 + decimals;
        // Kept only when it reads back as the very same double (-0.0 does not: it stays REAL).
        if (std::bit_cast<std::uint64_t>(DecodeValue(stored)) ==
            std::bit_cast<std::uint64_t>(value)) {
            return stored;
        }
    }
    return value;
}

double DecodeValue(std::int64_t stored) {
    // An arithmetic shift, as SQLite's >> in the view: the mantissa keeps its sign.
    const int decimals = static_cast<int>(stored & 15);
    return static_cast<double>(stored >> 4) / kPowersOfTen[std::min(decimals, kMaxDecimals)];
}

}  // namespace service::history_schema
