// The public C++ interface without a line: the one reading of line settings, parity and type
// names that every program of ours uses, and the calls it refuses before the module sees them.
#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <utility>

#include "qm4720/qm4720.hpp"

namespace {

using qm4720::ErrorCode;
using qm4720::Parity;

TEST(PublicLineSettings, TextIsReadIntoEverySettingOrRefusedNamingThePart) {
    struct Case {
        std::string_view text;
        int baud, dataBits;
        Parity parity;
        int stopBits, timeoutMs;
        std::string_view refused;  // a part of the message; "" when accepted
        ErrorCode code = ErrorCode::kUsage;
    };
    constexpr Case kCases[] = {
        {"9600,8N1", 9600, 8, Parity::kNone, 1, 400, ""},
        {"4800,7e2,1000", 4800, 7, Parity::kEven, 2, 1000, ""},
        {"1200,5O1", 1200, 5, Parity::kOdd, 1, 400, ""},
        {"300,8M1,32767", 300, 8, Parity::kMark, 1, 32767, ""},
        {"2400,6S2", 2400, 6, Parity::kSpace, 2, 400, ""},
        {"2400", 2400, 8, Parity::kNone, 1, 400, ""},  // the rest keeps the base's
        {"", 0, 0, Parity::kNone, 0, 0, "the baud rate ''"},
        {"96OO,8N1", 0, 0, Parity::kNone, 0, 0, "the baud rate '96OO'"},
        {"19200,8N1", 0, 0, Parity::kNone, 0, 0, "baud 19200: expected 300..9600",
         ErrorCode::kBaudRange},
        {"9600,8X1", 0, 0, Parity::kNone, 0, 0, "the frame '8X1'"},
        {"9600,9N1", 0, 0, Parity::kNone, 0, 0, "the frame '9N1'"},
        {"9600,8N3", 0, 0, Parity::kNone, 0, 0, "the frame '8N3'"},
        {"9600,8N", 0, 0, Parity::kNone, 0, 0, "the frame '8N'"},
        {"9600,8N1,", 0, 0, Parity::kNone, 0, 0, "the reply timeout ''"},
        {"9600,8N1,5", 0, 0, Parity::kNone, 0, 0, "reply timeout 5 ms: expected 10..32767"},
        {"9600,8N1,40000", 0, 0, Parity::kNone, 0, 0, "reply timeout 40000 ms"},
        {"9600,8N1,400,x", 0, 0, Parity::kNone, 0, 0, "the reply timeout '400,x'"},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(std::string(c.text));
        const qm4720::LineSettingsResult result = qm4720::ParseLineSettings(c.text);
        if (!c.refused.empty()) {
            EXPECT_EQ(result.error.code, c.code);
            EXPECT_NE(result.error.message.find(c.refused), std::string::npos)
                << result.error.message;
            continue;
        }
        ASSERT_FALSE(result.error) << result.error.message;
        EXPECT_EQ(result.settings.baud, c.baud);
        EXPECT_EQ(result.settings.dataBits, c.dataBits);
        EXPECT_EQ(result.settings.parity, c.parity);
        EXPECT_EQ(result.settings.stopBits, c.stopBits);
        EXPECT_EQ(result.settings.replyTimeoutMs, c.timeoutMs);
    }
}

TEST(PublicLineSettings, ParityAndTypeNamesReadBackAsWhatTheyName) {
    for (const Parity parity :
         {Parity::kNone, Parity::kOdd, Parity::kEven, Parity::kMark, Parity::kSpace}) {
        const std::string name = qm4720::ParityName(parity);
        Parity read = Parity::kNone;
        EXPECT_FALSE(qm4720::ParseParity(name, read)) << name;
        EXPECT_EQ(read, parity) << name;
    }
    Parity unchanged = Parity::kOdd;
    const qm4720::Error bogus = qm4720::ParseParity("bogus", unchanged);
    EXPECT_EQ(bogus.code, ErrorCode::kUsage);
    EXPECT_NE(bogus.message.find("'bogus'"), std::string::npos) << bogus.message;
    EXPECT_EQ(unchanged, Parity::kOdd);

    for (std::uint16_t bit = 1; bit <= 256; bit = static_cast<std::uint16_t>(bit << 1)) {
        const auto type = static_cast<qm4720::DataType>(bit);
        qm4720::DataType read{};
        ASSERT_TRUE(qm4720::DataTypeFromName(qm4720::DataTypeName(type), read)) << bit;
        EXPECT_EQ(read, type);
    }
    EXPECT_STREQ(qm4720::DataTypeName(static_cast<qm4720::DataType>(3)), "?");
    qm4720::DataType read{};
    EXPECT_FALSE(qm4720::DataTypeFromName("int", read));
    EXPECT_FALSE(qm4720::DataTypeFromName("?", read));
}

// A Driver moved from answers every call with a refusal instead of following a null pointer.
TEST(PublicDriver, AMovedFromDriverRefusesEveryCall) {
    qm4720::Driver loaded;
    ASSERT_FALSE(loaded.Load(QM_MODULE_PATH, ""));
    qm4720::Driver taker(std::move(loaded));
    qm4720::OpenOptions options;
    options.port = "/dev/null";
    const qm4720::Error refusals[] = {
        loaded.Open(options),
        loaded.Load(QM_MODULE_PATH, ""),
        loaded.Read(1, "PV").error,
        loaded.Write(1, "SP", 1).error,
        loaded.Probe({0, 1}).error,
        loaded.CheckStation("7").error,
        loaded.ParseRegister("PV").error,
    };
    for (const qm4720::Error& error : refusals) {
        EXPECT_EQ(error.code, ErrorCode::kUsage);
        EXPECT_NE(error.message.find("moved from"), std::string::npos) << error.message;
    }
    EXPECT_FALSE(loaded.IsOpen());
    EXPECT_TRUE(loaded.Table("").empty());
    loaded.Close();
    // What it held works in the Driver it went to, and it takes a Driver again.
    EXPECT_EQ(taker.CheckStation("07").station, 7);
    loaded = std::move(taker);
    EXPECT_EQ(loaded.ParseRegister("SP").reg.index, 13);
}

// The module reads its texts as C strings: the part after a NUL would be dropped unseen.
TEST(PublicDriver, TextsWithANulAreRefusedBeforeTheModule) {
    using namespace std::string_view_literals;
    qm4720::Driver driver;
    ASSERT_FALSE(driver.Load(QM_MODULE_PATH, ""));
    qm4720::OpenOptions options;
    options.port = std::string("/dev/null\0x", 11);
    const qm4720::Error refusals[] = {
        driver.CheckStation("7\0"sv).error,
        driver.ParseRegister("PV\0junk"sv).error,
        driver.Read(1, "PV\0junk"sv).error,
        driver.Write(1, "SP\0"sv, 1).error,
        driver.Load(QM_MODULE_PATH, std::string("QM\0", 3)),
        driver.Open(options),
    };
    for (const qm4720::Error& error : refusals) {
        EXPECT_EQ(error.code, ErrorCode::kUsage);
        EXPECT_NE(error.message.find("NUL"), std::string::npos) << error.message;
    }
    EXPECT_EQ(driver.CheckStation("7").station, 7);
}

}  // namespace
