#include "contract/value_fields.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <system_error>

#include "contract/data_type.h"

namespace contract {
namespace {

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// `magnitude` (a finite, non-negative float widened to double) in fixed notation with `decimals`
// decimals, then stripped of trailing zeros down to one decimal.
//
// The rounding works on the first 17 significant digits of the value, with a 5 in the first
// dropped place rounding up, away from zero: an exact binary tie such as 0.03125 is written as
// 0.0313, the text hosts and instruments expect for it. printf("%.4f") and std::to_chars in
// fixed form look at the exact binary value and round such ties to even (0.0312), so neither is
// used. std::to_chars in scientific form with 16 decimals gives the 17 digits, correctly
// rounded and without regard to the locale; the rounding and its carry are done here by hand.
Text FormatFixed(double magnitude, int decimals) {
    constexpr int kSignificant = 17;
    char sci[40];
    const auto done = std::to_chars(sci, sci + sizeof sci, magnitude, std::chars_format::scientific,
                                    kSignificant - 1);
    // "d.dddddddddddddddde[+-]xx"
    char digits[kSignificant];
    digits[0] = sci[0];
    std::memcpy(digits + 1, sci + 2, kSignificant - 1);
    const char* exponentText = sci + 2 + (kSignificant - 1) + 1;  // after the 'e'
    if (*exponentText == '+') ++exponentText;
    int exponent = 0;
    std::from_chars(exponentText, done.ptr, exponent);

    // digits[i] stands for digits[i] * 10^(exponent - i); the places down to 10^-decimals are
    // kept: `keep` digits of the 17, with zeros after them when there are more places than digits.
    // A float has at most 39 integer digits, so `keep` stays below kMaxKept; a larger value
    // (only a double could be one) has no text here.
    constexpr int kMaxKept = static_cast<int>(Text::kCapacity) - 3;
    const int keep = exponent + 1 + decimals;
    if (keep > kMaxKept) return Text{};
    char kept[kMaxKept];
    int length = 0;
    for (int i = 0; i < keep; ++i) kept[length++] = i < kSignificant ? digits[i] : '0';
    // The first dropped digit decides; a place beyond the 17 digits counts as 0.
    const bool roundUp = keep >= 0 && keep < kSignificant && digits[keep] >= '5';
    bool carry = roundUp;
    for (int i = length - 1; carry && i >= 0; --i) {
        if (kept[i] == '9') {
            kept[i] = '0';
        } else {
            ++kept[i];
            carry = false;
        }
    }
    // kept[0..length) is now the value times 10^decimals; lay it out with its decimal point.
    char number[kMaxKept + 1];
    int n = 0;
    if (carry) number[n++] = '1';
    for (int i = 0; i < length; ++i) number[n++] = kept[i];
    Text text;
    const int integerDigits = n - decimals;
    if (integerDigits <= 0) {
        text.push_back('0');
    } else {
        int first = 0;
        while (first < integerDigits - 1 && number[first] == '0') ++first;
        text.append(
            std::string_view(number + first, static_cast<std::size_t>(integerDigits - first)));
    }
    text.push_back('.');
    // Fraction digits, with zeros before them when the value is below 10^-(decimals - n).
    int fractionLength = decimals;
    char fraction[8];
    for (int place = 0; place < decimals; ++place) {
        const int index = n - decimals + place;
        fraction[place] = index >= 0 ? number[index] : '0';
    }
    while (fractionLength > 1 && fraction[fractionLength - 1] == '0') --fractionLength;
    text.append(std::string_view(fraction, static_cast<std::size_t>(fractionLength)));
    return text;
}

// The field of a non-negative magnitude text `m`: "0" fill to six characters, or "-" and fill
// to six when negative. The caller has checked that it fits.
DataField FillField(std::string_view m, bool negative) {
    DataField field;
    std::size_t at = 0;
    if (negative) field[at++] = '-';
    while (at + m.size() < kDataFieldLength) field[at++] = '0';
    for (char c : m) field[at++] = c;
    return field;
}

}  // namespace

Text IntToText(std::int32_t value) {
    char buffer[16];
    const auto done = std::to_chars(buffer, buffer + sizeof buffer, value);
    Text text;
    text.append(std::string_view(buffer, static_cast<std::size_t>(done.ptr - buffer)));
    return text;
}

Text FloatToText(float value) {
    if (!std::isfinite(value)) return Text{};
    const double wide = value;
    Text text;
    if (std::signbit(wide)) text.push_back('-');
    text.append(FormatFixed(std::fabs(wide), 4).view());
    return text;
}

bool IsNumberText(std::string_view field) {
    for (char c : field) {
        if (!IsDigit(c) && c != '.' && c != '-') return false;
    }
    return true;
}

std::optional<float> NumberFromText(std::string_view text) {
    if (!IsNumberText(text)) return std::nullopt;
    // Leading zeros go while a second character follows that is not the decimal point.
    while (text.size() >= 2 && text[0] == '0' && text[1] != '.') text.remove_prefix(1);
    // The longest prefix of the form -ddd.ddd; whatever follows it is ignored.
    std::size_t end = 0;
    const bool negative = end < text.size() && text[end] == '-';
    if (negative) ++end;
    bool integerDigit = false;
    for (; end < text.size() && IsDigit(text[end]); ++end) {
        if (text[end] != '0') integerDigit = true;
    }
    if (end < text.size() && text[end] == '.') {
        ++end;
        while (end < text.size() && IsDigit(text[end])) ++end;
    }
    const std::string_view number = text.substr(0, end);
    float value = 0.0f;
    const auto parsed = std::from_chars(number.data(), number.data() + number.size(), value,
                                        std::chars_format::fixed);
    if (parsed.ec == std::errc::invalid_argument) {
        value = 0.0f;  // no digits: "", "-", ".", "-."
    } else if (parsed.ec == std::errc::result_out_of_range) {
        // Beyond the float range: a nonzero integer part overflows, anything else underflows.
        value = integerDigit ? std::numeric_limits<float>::infinity() : 0.0f;
        if (negative) value = -value;
    }
    return value;
}

std::int32_t BitFromText(std::string_view text) {
    std::size_t at = 0;
    while (at < text.size() && (text[at] == ' ' || (text[at] >= '\t' && text[at] <= '\r'))) ++at;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) ++at;
    for (; at < text.size() && IsDigit(text[at]); ++at) {
        if (text[at] != '0') return 1;
    }
    return 0;
}

EncodeRefusal EncodeDataField(std::uint16_t type, const QM4720ValueSlot& slot, DataField& field) {
    switch (type) {
        case kTypeBit: {
            std::int32_t bit = 0;
            std::memcpy(&bit, slot.bytes, sizeof bit);
            field = FillField(bit != 0 ? "1" : "0", false);
            return EncodeRefusal::kNone;
        }
        case kTypeInt: {
            std::int16_t value = 0;
            std::memcpy(&value, slot.bytes, sizeof value);
            // Widened first, so that -32768 has the magnitude 32768: at most five digits.
            const std::int32_t wide = value;
            field = FillField(IntToText(wide < 0 ? -wide : wide).view(), wide < 0);
            return EncodeRefusal::kNone;
        }
        case kTypeFloat: {
            float value = 0.0f;
            std::memcpy(&value, slot.bytes, sizeof value);
            if (!std::isfinite(value)) return EncodeRefusal::kValueOutOfRange;
            const bool negative = value < 0.0f;  // -0.0 is sent as 0000.0
            const std::size_t room = negative ? kDataFieldLength - 1 : kDataFieldLength;
            const double magnitude = std::fabs(static_cast<double>(value));
            // Four decimals when they fit, else fewer, each time rounded afresh from the value.
            for (int decimals = 4; decimals >= 1; --decimals) {
                const Text m = FormatFixed(magnitude, decimals);
                if (m.size() <= room) {
                    field = FillField(m.view(), negative);
                    return EncodeRefusal::kNone;
                }
            }
            return EncodeRefusal::kValueOutOfRange;
        }
        default:
            return EncodeRefusal::kTypeNotEncodable;
    }
}

double DecodedValue::AsNumber() const {
    switch (type) {
        case kTypeBit:
            return bit;
        case kTypeInt:
            return integer;
        default:
            return real;
    }
}

void DecodedValue::StoreInto(QM4720ValueSlot& slot) const {
    switch (type) {
        case kTypeBit:
            std::memcpy(slot.bytes, &bit, sizeof bit);
            break;
        case kTypeInt:
            std::memcpy(slot.bytes, &integer, sizeof integer);
            break;
        case kTypeFloat:
            std::memcpy(slot.bytes, &real, sizeof real);
            break;
        default:
            break;
    }
}

std::optional<DecodedValue> DecodeDataField(std::uint16_t type, std::string_view field) {
    DecodedValue decoded;
    decoded.type = type;
    switch (type) {
        case kTypeBit:
            decoded.bit = BitFromText(field);
            return decoded;
        case kTypeInt: {
            const std::optional<float> number = NumberFromText(field);
            if (!number) return std::nullopt;
            // Truncated toward zero, then kept in 16 bits (40000 reads as -25536). The remainder is
            // taken in floating point first, so that no value can overflow the integer conversion.
            const float whole = std::trunc(*number);
            const double low =
                std::isfinite(whole) ? std::fmod(static_cast<double>(whole), 65536.0) : 0.0;
            decoded.integer = static_cast<std::int16_t>(
                static_cast<std::uint16_t>(static_cast<std::int32_t>(low) & 0xFFFF));
            return decoded;
        }
        case kTypeFloat: {
            const std::optional<float> number = NumberFromText(field);
            if (!number) return std::nullopt;
            decoded.real = *number;
            return decoded;
        }
        default:
            return std::nullopt;
    }
}

}  // namespace contract
