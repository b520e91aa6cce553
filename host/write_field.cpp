#include "host/write_field.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <string>

#include "records/data_type.h"

namespace host {
namespace {

// Adds one to a string of decimal digits.
void Increment(std::string& digits) {
    for (auto it = digits.rbegin(); it != digits.rend(); ++it) {
        if (*it != '9') {
            ++*it;
            return;
        }
        *it = '0';
    }
    digits.insert(digits.begin(), '1');
}

}  // namespace

std::optional<double> SentValue(std::uint16_t type, double value) {
    if (type != kTypeFloat) return value;
    const auto real = static_cast<float>(value);
    if (!std::isfinite(real)) return std::nullopt;
    const bool negative = std::signbit(real);
    // The first 17 significant digits and the power of ten of the first one.
    char scientific[40];
    const auto printed =
        std::to_chars(scientific, scientific + sizeof scientific,
                      std::fabs(static_cast<double>(real)), std::chars_format::scientific, 16);
    const std::string text(scientific, printed.ptr);
    const std::size_t e = text.find('e');
    const std::string digits = text.substr(0, 1) + text.substr(2, e - 2);
    const int exponent = std::stoi(text.substr(e + 1));
    for (int decimals = 4; decimals >= 1; --decimals) {
        // The magnitude times 10^decimals, rounded half away from zero, as a digit string.
        const int keep = exponent + 1 + decimals;
        std::string kept = "0";
        if (keep >= static_cast<int>(digits.size())) {
            kept = digits + std::string(static_cast<std::size_t>(keep) - digits.size(), '0');
        } else if (keep >= 0) {
            kept = keep == 0 ? "0" : digits.substr(0, static_cast<std::size_t>(keep));
            if (digits[static_cast<std::size_t>(keep)] >= '5') Increment(kept);
        }
        if (kept.size() < static_cast<std::size_t>(decimals) + 1)
            kept.insert(0, static_cast<std::size_t>(decimals) + 1 - kept.size(), '0');
        std::string whole = kept.substr(0, kept.size() - static_cast<std::size_t>(decimals));
        std::string fraction = kept.substr(whole.size());
        while (whole.size() > 1 && whole[0] == '0') whole.erase(0, 1);
        while (fraction.size() > 1 && fraction.back() == '0') fraction.pop_back();
        const std::string field = whole + "." + fraction;
        if (field.size() > (negative ? 5u : 6u)) continue;
        float sent = 0;
        std::from_chars(field.data(), field.data() + field.size(), sent);
        return negative ? -static_cast<double>(sent) : static_cast<double>(sent);
    }
    return std::nullopt;
}

bool ReadBackMatches(double readBack, double sent) {
    return std::fabs(readBack - sent) <= 1e-6 * std::max(1.0, std::fabs(sent));
}

}  // namespace host
