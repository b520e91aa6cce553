// The value text fields: the encoding and decoding tables of the protocol, the rounding rule and
// its ties, the six-character rule for every FLOAT, and the conversions underneath.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "contract/data_type.h"
#include "contract/value_fields.h"
#include "records/io_request.h"

namespace {

using contract::DataField;
using contract::EncodeRefusal;

std::string FieldText(const DataField& field) {
    return std::string(field.data(), field.size());
}

ValueSlot IntSlot(std::int16_t v) {
    ValueSlot slot;
    slot.asBit = 0x7f7f7f7f;  // the upper bytes of an INT slot carry whatever the host left
    slot.asInt = v;
    return slot;
}
ValueSlot FloatSlot(float v) {
    ValueSlot slot;
    slot.asFloat = v;
    return slot;
}
ValueSlot BitSlot(std::int32_t v) {
    ValueSlot slot;
    slot.asBit = v;
    return slot;
}

struct EncodeCase {
    std::uint16_t type;
    ValueSlot slot;
    const char* field;
};

TEST(EncodeDataField, GivesTheSixCharactersOfEveryEncodableValue) {
    const EncodeCase cases[] = {
        {kTypeInt, IntSlot(25), "000025"},
        {kTypeInt, IntSlot(-3), "-00003"},
        {kTypeInt, IntSlot(0), "000000"},
        {kTypeInt, IntSlot(32767), "032767"},
        {kTypeInt, IntSlot(-32768), "-32768"},
        {kTypeFloat, FloatSlot(123.5f), "0123.5"},
        {kTypeFloat, FloatSlot(-0.25f), "-00.25"},
        {kTypeFloat, FloatSlot(0.0f), "0000.0"},
        {kTypeFloat, FloatSlot(-0.0f), "0000.0"},
        {kTypeFloat, FloatSlot(25.5f), "0025.5"},
        {kTypeFloat, FloatSlot(-7.0f), "-007.0"},
        {kTypeFloat, FloatSlot(-123.5f), "-123.5"},
        {kTypeFloat, FloatSlot(3.14159f), "3.1416"},
        // Too long with four decimals: sent with fewer, each rounded afresh from the value.
        {kTypeFloat, FloatSlot(12.3456f), "12.346"},
        {kTypeFloat, FloatSlot(-12.345f), "-12.35"},
        {kTypeFloat, FloatSlot(-0.1234f), "-0.123"},
        {kTypeFloat, FloatSlot(9999.94f), "9999.9"},
        {kTypeFloat, FloatSlot(-999.94f), "-999.9"},
        {kTypeFloat, FloatSlot(999.99994f), "1000.0"},
        // A tie at the shortened place goes away from zero too.
        {kTypeFloat, FloatSlot(-12.125f), "-12.13"},
        {kTypeBit, BitSlot(1), "000001"},
        {kTypeBit, BitSlot(-7), "000001"},
        {kTypeBit, BitSlot(0), "000000"},
    };
    for (const EncodeCase& c : cases) {
        DataField field{};
        EXPECT_EQ(contract::EncodeDataField(c.type, c.slot, field), EncodeRefusal::kNone)
            << c.field;
        EXPECT_EQ(FieldText(field), c.field) << "type " << c.type;
    }
}

TEST(EncodeDataField, RefusesWhatDoesNotFitSixCharactersAndLeavesTheFieldAlone) {
    struct Case {
        std::uint16_t type;
        ValueSlot slot;
        EncodeRefusal refusal;
    } cases[] = {
        {kTypeFloat, FloatSlot(10000.0f), EncodeRefusal::kValueOutOfRange},
        {kTypeFloat, FloatSlot(9999.96f), EncodeRefusal::kValueOutOfRange},  // 10000.0 rounded
        {kTypeFloat, FloatSlot(-12345.5f), EncodeRefusal::kValueOutOfRange},
        {kTypeFloat, FloatSlot(-1000.0f), EncodeRefusal::kValueOutOfRange},
        {kTypeFloat, FloatSlot(-1000.5f), EncodeRefusal::kValueOutOfRange},
        {kTypeFloat, FloatSlot(-1000.4f), EncodeRefusal::kValueOutOfRange},
        {kTypeFloat, FloatSlot(-999.96f), EncodeRefusal::kValueOutOfRange},  // -1000.0 rounded
        {kTypeFloat, FloatSlot(1e30f), EncodeRefusal::kValueOutOfRange},
        {kTypeFloat, FloatSlot(std::numeric_limits<float>::infinity()),
         EncodeRefusal::kValueOutOfRange},
        {kTypeFloat, FloatSlot(-std::numeric_limits<float>::infinity()),
         EncodeRefusal::kValueOutOfRange},
        {kTypeFloat, FloatSlot(std::numeric_limits<float>::quiet_NaN()),
         EncodeRefusal::kValueOutOfRange},
        {kTypeString, IntSlot(1), EncodeRefusal::kTypeNotEncodable},
        {kTypeLong, IntSlot(1), EncodeRefusal::kTypeNotEncodable},
        {kTypeByte, IntSlot(1), EncodeRefusal::kTypeNotEncodable},
        {0, IntSlot(1), EncodeRefusal::kTypeNotEncodable},
    };
    for (const Case& c : cases) {
        DataField field{'s', 'e', 'n', 't', 'r', 'y'};
        EXPECT_EQ(contract::EncodeDataField(c.type, c.slot, field), c.refusal)
            << "type " << c.type << " float " << c.slot.asFloat;
        EXPECT_EQ(FieldText(field), "sentry");
    }
}

TEST(FloatToText, RoundsHalvesAwayFromZeroOnSeventeenDigits) {
    struct Case {
        float value;
        const char* text;
    } cases[] = {
        {25.0f, "25.0"},
        {0.25f, "0.25"},
        {123.5f, "123.5"},
        {3.14159f, "3.1416"},
        {0.00004f, "0.0"},
        {1000000.0f, "1000000.0"},
        // Exact binary ties: round-half-even would give 0.0312 and 0.1562.
        {0.03125f, "0.0313"},
        {0.15625f, "0.1563"},
        {-0.03125f, "-0.0313"},
        {2.00005f, "2.0001"},
        {0.00005f, "0.0"},  // the float lies just below the half
        {9.99995f, "10.0"},
        {-0.0f, "-0.0"},
        // Only 17 significant digits count: 1e20f is 100000002004087734272 exactly.
        {1e20f, "100000002004087730000.0"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(contract::FloatToText(c.value).view(), c.text) << c.value;
    }
    EXPECT_TRUE(contract::FloatToText(std::numeric_limits<float>::infinity()).empty());
    EXPECT_TRUE(contract::FloatToText(std::numeric_limits<float>::quiet_NaN()).empty());
    EXPECT_EQ(contract::FloatToText(std::numeric_limits<float>::max()).view(),
              "340282346638528860000000000000000000000.0");
}

TEST(NumberFromText, ReadsTheLeadingNumberAndFailsOnForeignCharacters) {
    struct Case {
        const char* text;
        bool ok;
        float value;
    } cases[] = {
        {"0025.5", true, 25.5f},
        {"-012.5", true, -12.5f},
        {"0000.0", true, 0.0f},
        {"000100", true, 100.0f},
        {"00.500", true, 0.5f},
        {"12.5.3", true, 12.5f},
        {"1.2.3.", true, 1.2f},
        {"", true, 0.0f},
        {"-", true, 0.0f},
        {"5-1", true, 5.0f},
        {"00-1.5", true, -1.5f},
        {"......", true, 0.0f},
        {".5", true, 0.5f},
        {"-.5", true, -0.5f},
        {"5.", true, 5.0f},
        {" 25.50", false, 0.0f},
        {"25.5 ", false, 0.0f},
        {"1e5", false, 0.0f},
        {"+25.5", false, 0.0f},
        {"25,50", false, 0.0f},
        {"\x80"
         "12345",
         false, 0.0f},
    };
    for (const auto& c : cases) {
        const std::optional<float> value = contract::NumberFromText(c.text);
        EXPECT_EQ(value.has_value(), c.ok) << '"' << c.text << '"';
        if (value && c.ok) {
            EXPECT_EQ(*value, c.value) << '"' << c.text << '"';
        }
    }
    // A NUL inside the text is a foreign character as well.
    EXPECT_FALSE(contract::NumberFromText(std::string_view("12\0"
                                                           "45",
                                                           5))
                     .has_value());
}

TEST(BitFromText, IsOneForANonzeroLeadingInteger) {
    struct Case {
        const char* text;
        std::int32_t bit;
    } cases[] = {
        {"000001", 1}, {"000000", 0}, {"1.0000", 1}, {"0.5000", 0}, {"-00001", 1},
        {"ABCDEF", 0}, {"  +7", 1},   {"", 0},       {"0000-1", 0}, {"99999999999999999999", 1},
    };
    for (const auto& c : cases) EXPECT_EQ(contract::BitFromText(c.text), c.bit) << c.text;
}

TEST(DecodeDataField, GivesEachTypeItsOwnReadingOfTheField) {
    struct Case {
        std::uint16_t type;
        const char* field;
        double value;
    } cases[] = {
        {kTypeFloat, "0025.5", 25.5}, {kTypeFloat, "-012.5", -12.5}, {kTypeFloat, "0000.0", 0.0},
        {kTypeFloat, "1.2.3.", 1.2f}, {kTypeInt, "000100", 100},     {kTypeInt, "010000", 10000},
        {kTypeInt, "-00003", -3},     {kTypeInt, "0012.7", 12},      {kTypeInt, "-012.7", -12},
        {kTypeInt, "040000", -25536}, {kTypeInt, "099999", -31073},  {kTypeBit, "000001", 1},
        {kTypeBit, "0.5000", 0},      {kTypeBit, "-00001", 1},       {kTypeBit, "  abc ", 0},
    };
    for (const auto& c : cases) {
        const auto decoded = contract::DecodeDataField(c.type, c.field);
        ASSERT_TRUE(decoded.has_value()) << c.field;
        EXPECT_EQ(decoded->type, c.type);
        EXPECT_EQ(decoded->AsNumber(), c.value) << "type " << c.type << " field " << c.field;
    }
    EXPECT_FALSE(contract::DecodeDataField(kTypeFloat, " 25.50").has_value());
    EXPECT_FALSE(contract::DecodeDataField(kTypeInt, "00 25").has_value());
    EXPECT_FALSE(contract::DecodeDataField(kTypeString, "000001").has_value());
    EXPECT_FALSE(contract::DecodeDataField(kTypeLong, "000001").has_value());
}

TEST(DecodeDataField, StoresOnlyTheWidthOfTheType) {
    ValueSlot slot;
    slot.asBit = static_cast<std::int32_t>(0xdeadbeef);
    contract::DecodeDataField(kTypeInt, "-00003")->StoreInto(slot);
    EXPECT_EQ(slot.asInt, -3);
    EXPECT_EQ(slot.bytes[2], 0xad);  // the upper two bytes keep what they held
    EXPECT_EQ(slot.bytes[3], 0xde);

    contract::DecodeDataField(kTypeBit, "000001")->StoreInto(slot);
    EXPECT_EQ(slot.asBit, 1);
    contract::DecodeDataField(kTypeFloat, "-012.5")->StoreInto(slot);
    EXPECT_EQ(slot.asFloat, -12.5f);
}

}  // namespace
