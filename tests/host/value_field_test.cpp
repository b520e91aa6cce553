// What a write sends and how a meter's number is told, as every host applies it: an INT whole and
// within 16 bits, a FLOAT as the meter's six-character field carries it, anything else refused
// before the line; a FLOAT said as the shortest decimal that reads back as the same float.
#include <gtest/gtest.h>

#include <limits>
#include <optional>
#include <string>

#include "contract/data_type.h"
#include "contract/messages.h"
#include "contract/meter_values.h"
#include "host/client/driver_session.h"

namespace {

TEST(FitWrite, SendsWhatTheFieldCarriesAndRefusesTheRest) {
    constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
    constexpr double kInf = std::numeric_limits<double>::infinity();
    struct Case {
        std::uint16_t type;
        double value;
        std::optional<double> sent;  // nullopt: refused
    };
    const Case cases[] = {
        // INT: the meter's 16 bits; 40000 would otherwise wrap to -25536.
        {kTypeInt, 0, 0},
        {kTypeInt, 32767, 32767},
        {kTypeInt, -32768, -32768},
        {kTypeInt, 32768, std::nullopt},
        {kTypeInt, -32769, std::nullopt},
        {kTypeInt, 40000, std::nullopt},
        {kTypeInt, 65538, std::nullopt},
        {kTypeInt, 2.7, std::nullopt},
        {kTypeInt, -2.7, std::nullopt},
        {kTypeInt, 70000.5, std::nullopt},
        {kTypeInt, kNaN, std::nullopt},
        // FLOAT: six characters, rounded as the meter takes them.
        {kTypeFloat, 42.5, 42.5},
        {kTypeFloat, 42.123456, 42.123},
        {kTypeFloat, 12.3456, 12.346},
        {kTypeFloat, -12.345, -12.35},
        {kTypeFloat, 0.1, 0.1},
        {kTypeFloat, 9999.9, 9999.9},
        {kTypeFloat, -999.9, -999.9},
        {kTypeFloat, 10000, std::nullopt},
        {kTypeFloat, -1000, std::nullopt},
        {kTypeFloat, 1e7, std::nullopt},
        {kTypeFloat, 1e300, std::nullopt},
        {kTypeFloat, kInf, std::nullopt},
        {kTypeFloat, kNaN, std::nullopt},
        // BIT: off or on, nothing the meter would take as something else.
        {kTypeBit, 1, 1},
        {kTypeBit, 0, 0},
        {kTypeBit, 5, std::nullopt},
        {kTypeString, 1, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "type " << c.type << ", " << c.value);
        const contract::WriteFit fit = contract::FitWrite(c.type, c.value);
        EXPECT_EQ(fit.sent, c.sent);
        EXPECT_EQ(fit.refusal.empty(), c.sent.has_value()) << fit.refusal;
    }
}

TEST(MeterDecimal, IsTheShortestDecimalOfTheFloat) {
    struct Case {
        float meter;
        const char* said;
    };
    const Case cases[] = {
        {99.95F, "99.95"}, {100.04F, "100.04"}, {48.815F, "48.815"},
        {-0.1F, "-0.1"},   {21.5F, "21.5"},     {-25536.0F, "-25536"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.said);
        // Said by any JSON or CSV writer of doubles, which prints the shortest double.
        EXPECT_EQ(contract::MeterDecimal(c.meter), std::stod(c.said));
        // A float widened to double, as history files written before hold it, says the same.
        EXPECT_EQ(contract::MeterDecimal(static_cast<double>(c.meter)), std::stod(c.said));
    }
    // A double that is not a float's is a number of its own, left as it is.
    EXPECT_EQ(contract::MeterDecimal(0.1), 0.1);
    EXPECT_EQ(contract::MeterDecimal(1e300), 1e300);
}

TEST(FitWrite, TheSessionRefusesWhatDoesNotFitBeforeTheLine) {
    std::string error;
    auto session = host::DriverSession::Create({QM_MODULE_PATH, ""}, error);
    ASSERT_NE(session, nullptr) << error;
    const auto pn = session->Resolve("", "PN", 0xFFFF, error);
    ASSERT_TRUE(pn.has_value()) << error;
    // No port is open: a value that fits would fail on the port, this one never gets that far.
    const host::Reading refused = session->Write("", 1, *pn, 40000);
    EXPECT_FALSE(refused.ok);
    EXPECT_EQ(refused.errorCode, contract::kErrorValueRange);
    EXPECT_NE(refused.error.find("-32768..32767"), std::string::npos) << refused.error;
    const host::Reading tried = session->Write("", 1, *pn, 12);
    EXPECT_FALSE(tried.ok);
    EXPECT_NE(tried.errorCode, contract::kErrorValueRange);
}

}  // namespace
