// Value text fields: how an item's value becomes the six-character data field of a write request,
// how the data field of a reply becomes an item's value, and the text conversions underneath.
//
// Every function here is pure and locale-free: the conversions use std::to_chars/from_chars and
// digit code of their own, never the C library's locale-dependent formatting, so a host that has
// switched LC_NUMERIC to a decimal-comma locale gets the same fields and the same values.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include <qm4720/qm4720.h>

namespace contract {

// A short text owned by whoever holds it. Large enough for any float with four decimals
// (FLT_MAX has 39 integer digits) and for any 32-bit integer.
class Text {
public:
    static constexpr std::size_t kCapacity = 48;

    std::string_view view() const { return {chars_.data(), length_}; }
    std::size_t size() const { return length_; }
    bool empty() const { return length_ == 0; }

    // Appends one character; characters beyond the capacity are dropped (never reached by the
    // conversions here, whose longest text is 45 characters).
    void push_back(char c) {
        if (length_ < kCapacity) chars_[length_++] = c;
    }
    void append(std::string_view text) {
        for (char c : text) push_back(c);
    }

private:
    std::array<char, kCapacity> chars_{};
    std::size_t length_ = 0;
};

// The data field: six characters of digits, "." and "-".
inline constexpr std::size_t kDataFieldLength = 6;
using DataField = std::array<char, kDataFieldLength>;

// The decimal text of `value`: "-" before a negative number, no fill, no plus sign.
Text IntToText(std::int32_t value);

// `value` with four decimals, rounded on its first 17 significant digits with halves going away
// from zero (0.03125 gives 0.0313), then stripped of trailing zeros down to one decimal:
// 25 gives 25.0, 3.14159 gives 3.1416, 0.00004 gives 0.0. A negative value (-0.0 included) starts
// with "-". Non-finite values have no text: the result is empty.
Text FloatToText(float value);

// The number that a field of digits, "." and "-" stands for. Fails (nullopt) at the first other
// character. Leading zeros are dropped while a second character follows that is not "." (so
// "0-5" reads as -5); then an optional "-", digits and an optional "." with digits are read, and
// the rest is ignored ("12.5.3" reads as 12.5). No digits read as 0.
std::optional<float> NumberFromText(std::string_view text);

// 1 when the text's leading integer (after white space and an optional sign) is not zero, else 0.
// Never fails: a text without leading digits gives 0.
std::int32_t BitFromText(std::string_view text);

// True when every character of `field` is a digit, "." or "-": the fields that NumberFromText
// reads without failing.
bool IsNumberText(std::string_view field);

// Why an item's value has no data field.
enum class EncodeRefusal {
    kNone,
    kValueOutOfRange,   // a FLOAT that does not fit six characters, or that is not finite
    kTypeNotEncodable,  // a type other than BIT, INT and FLOAT
};

// The data field of a write of `slot` as `type` (a DataType code). Always exactly six characters:
//  - INT: the 16-bit value right-aligned with "0" fill, "-" first when negative (-3: -00003).
//  - FLOAT: FloatToText of the magnitude with the same fill and sign (-0.25: -00.25). A magnitude
//    text too long for the field is rounded again, by the same rule, to fewer decimals, down to
//    one (12.3456: 12.346, -12.345: -12.35); a value that does not fit even with one decimal
//    (10000.0 and above, -1000.0 and below after rounding) and every non-finite value is refused
//    with kValueOutOfRange. A longer field would shift the block check off the bytes the
//    instrument checks, so it is never sent.
//  - BIT: 000001 for a nonzero 32-bit slot, 000000 for zero.
//  - any other type: refused with kTypeNotEncodable.
// On a refusal `field` is left as it was.
EncodeRefusal EncodeDataField(std::uint16_t type, const QM4720ValueSlot& slot, DataField& field);

// A value read from a data field, in the width of its type.
struct DecodedValue {
    std::uint16_t type = 0;    // kTypeBit, kTypeInt or kTypeFloat
    std::int32_t bit = 0;      // BIT: 0 or 1
    std::int16_t integer = 0;  // INT: the truncated number kept in 16 bits
    float real = 0.0f;         // FLOAT

    // The value as a real number: BIT 0 or 1, INT the signed 16-bit value, FLOAT the float.
    double AsNumber() const;

    // Stores the value in `slot` in the width of its type: all four bytes for BIT and FLOAT,
    // only the low two for INT (the upper two keep what they held).
    void StoreInto(QM4720ValueSlot& slot) const;
};

// Reads `field` as `type`: BIT with BitFromText (never fails); INT with NumberFromText, truncated
// toward zero, low 16 bits read as signed (040000 gives -25536); FLOAT with NumberFromText.
// nullopt when the type is not one of those three, or when NumberFromText fails.
std::optional<DecodedValue> DecodeDataField(std::uint16_t type, std::string_view field);

}  // namespace contract
