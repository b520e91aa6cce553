// Value conversions: text to number and bit, and the data field of a write from an arbitrary
// value slot of an arbitrary type. A field is exactly six characters of digits, "." and "-" and
// reads back as the value it was made from, or the value is refused and the field untouched.
//
// Input: a type code, four slot bytes, then text.
#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>

#include "contract/data_type.h"
#include "contract/value_fields.h"
#include "fuzz/fuzz_check.h"
#include "records/io_request.h"

namespace {

bool FieldCharacter(char c) {
    return (c >= '0' && c <= '9') || c == '.' || c == '-';
}

void CheckText(std::string_view text) {
    const auto number = contract::NumberFromText(text);
    const std::int32_t bit = contract::BitFromText(text);
    FUZZ_CHECK(bit == 0 || bit == 1);
    if (contract::IsNumberText(text)) FUZZ_CHECK(number.has_value());
    // Text runs only to its end: the same text in a longer buffer reads the same.
    const std::string padded = std::string(text) + "9";
    const auto again = contract::NumberFromText(std::string_view(padded).substr(0, text.size()));
    FUZZ_CHECK(again.has_value() == number.has_value());
    if (number && again) {
        FUZZ_CHECK(std::memcmp(&*number, &*again, sizeof(float)) == 0 ||
                   (std::isnan(*number) && std::isnan(*again)));
    }
}

void CheckFloatText(float value) {
    const contract::Text text = contract::FloatToText(value);
    if (!std::isfinite(value)) {
        FUZZ_CHECK(text.empty());
        return;
    }
    FUZZ_CHECK(!text.empty() && text.size() < contract::Text::kCapacity);
    for (char c : text.view()) FUZZ_CHECK(FieldCharacter(c));
    FUZZ_CHECK(text.view().find('.') != std::string_view::npos);
    const auto back = contract::NumberFromText(text.view());
    FUZZ_CHECK(back.has_value());
    // Four decimals, rounded on 17 significant digits.
    const double tolerance = 0.00005 + std::fabs(static_cast<double>(value)) * 1e-6;
    FUZZ_CHECK(std::fabs(static_cast<double>(*back) - value) <= tolerance);
}

void CheckField(std::uint16_t type, const ValueSlot& slot) {
    constexpr char kSentinel = '#';
    contract::DataField field;
    field.fill(kSentinel);
    const contract::EncodeRefusal refusal = contract::EncodeDataField(type, slot, field);
    const bool known = type == kTypeBit || type == kTypeInt || type == kTypeFloat;
    if (!known) FUZZ_CHECK(refusal == contract::EncodeRefusal::kTypeNotEncodable);
    if (refusal != contract::EncodeRefusal::kNone) {
        for (char c : field) FUZZ_CHECK(c == kSentinel);
        if (type == kTypeBit || type == kTypeInt) FUZZ_CHECK(false);  // always encodable
        return;
    }
    FUZZ_CHECK(known);
    for (char c : field) FUZZ_CHECK(FieldCharacter(c));
    const std::string_view text(field.data(), field.size());
    const auto decoded = contract::DecodeDataField(type, text);
    FUZZ_CHECK(decoded.has_value());
    if (type == kTypeBit) {
        FUZZ_CHECK(decoded->bit == (slot.asBit != 0 ? 1 : 0));
    } else if (type == kTypeInt) {
        FUZZ_CHECK(decoded->integer == slot.asInt);
    } else {
        const float value = slot.asFloat;
        FUZZ_CHECK(std::isfinite(value));
        // The field keeps at least one decimal: the value is off by at most half of the last
        // decimal kept.
        const std::size_t point = text.find('.');
        FUZZ_CHECK(point != std::string_view::npos && point + 1 < text.size());
        const double half = 0.5 * std::pow(10.0, -static_cast<double>(text.size() - point - 1));
        // The field's number comes back as a float: allow its own rounding (two units in the
        // last place of a float of this size).
        const double floatStep = std::fabs(static_cast<double>(value)) * std::ldexp(1.0, -22);
        FUZZ_CHECK(std::fabs(static_cast<double>(decoded->real) - value) <=
                   half + floatStep + 1e-9);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    // Mostly the three encodable types, sometimes any code.
    const std::array<std::uint16_t, 3> codes = {kTypeBit, kTypeInt, kTypeFloat};
    const std::uint16_t type = input.ConsumeBool() ? input.ConsumeIntegral<std::uint16_t>()
                                                   : input.PickValueInArray(codes);
    ValueSlot slot;
    for (auto& b : slot.bytes) b = input.ConsumeIntegral<std::uint8_t>();
    const std::string text = input.ConsumeRemainingBytesAsString();

    CheckField(type, slot);
    CheckField(kTypeFloat, slot);
    CheckFloatText(slot.asFloat);
    // In a buffer of exactly its length, so that a read past its end is caught.
    const std::unique_ptr<char[]> exact(new char[text.size()]);
    std::memcpy(exact.get(), text.data(), text.size());
    CheckText(std::string_view(exact.get(), text.size()));
    // The text as the six characters of a reply field.
    if (text.size() >= contract::kDataFieldLength) {
        for (std::uint16_t t : codes) {
            (void)contract::DecodeDataField(t, std::string_view(text).substr(0, 6));
        }
    }
    return 0;
}
