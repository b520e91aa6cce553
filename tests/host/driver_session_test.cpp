// The host library's driver session against the real module, on every system: each refusal comes
// back as the driver's message in UTF-8 with its DriverError code, and every message of the
// module's tables maps back to the code it stands for.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>

#include "catalogue/data_type_messages.h"
#include "driver/messages.h"
#include "host/driver_messages.h"
#include "host/driver_session.h"
#include "records/data_type.h"

namespace {

TEST(DriverMessages, EveryTextOfTheModuleMapsToItsCodeAndNothingElseDoes) {
    for (std::int32_t code = 0; code < driver::kMessageCount; ++code) {
        // A copy: the text decides, not the address of the module's string.
        const std::string text = driver::MessageText(code);
        EXPECT_EQ(host::DriverErrorOfMessage(text.c_str()), code) << code;
    }
    // Entry 3 is replaced at run time by the data-type message of each refusal.
    constexpr std::uint16_t kTypes[] = {kTypeBit,    kTypeInt, kTypeFloat,
                                        kTypeString, 0,        kTypeInt | kTypeFloat};
    for (const std::uint16_t type : kTypes) {
        EXPECT_EQ(host::DriverErrorOfMessage(catalogue::DataTypeMessage(type)),
                  driver::kErrorDataType)
            << type;
    }
    EXPECT_EQ(host::DriverErrorOfMessage(nullptr), driver::kErrorNone);
    EXPECT_EQ(host::DriverErrorOfMessage(""), driver::kErrorNone);
    // The timeout text without its exclamation mark: close is not the same.
    EXPECT_EQ(host::DriverErrorOfMessage("\xB3\xAC\xCA\xB1\xB4\xED\xCE\xF3"), driver::kErrorNone);
}

class DriverSessionRefusals : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        session_ = host::DriverSession::Create({QM_MODULE_PATH, ""}, error);
        ASSERT_NE(session_, nullptr) << error;
    }

    static PortSettings Port(const char* name) {
        PortSettings settings{};
        std::strncpy(settings.portName, name, sizeof settings.portName - 1);
        settings.baudRate = 9600;
        settings.dataBits = 8;
        settings.stopBits = 1;
        settings.replyTimeout = 100;
        return settings;
    }

    std::unique_ptr<host::DriverSession> session_;
};

TEST_F(DriverSessionRefusals, EachRefusalGivesTheDriversMessageAndItsCode) {
    using Call = std::function<bool(host::DriverSession&, std::string&)>;
    struct Case {
        const char* what;
        Call call;
        std::int32_t code;
        const char* message;  // the start of the driver's message, in UTF-8
    };
    const Case cases[] = {
        {"a lower-case register name",
         [](host::DriverSession& s, std::string& e) {
             return s.Resolve("", "pv", 0xFFFF, e).has_value();
         },
         driver::kErrorRegisterName, "设备寄存器名字错误!"},
        {"a tag that accepts INT only, for the FLOAT register PV",
         [](host::DriverSession& s, std::string& e) {
             return s.Resolve("", "PV", kTypeInt, e).has_value();
         },
         driver::kErrorDataType, "数据类型错误,应选FLOAT数据类型."},
        {"a station text with a letter",
         [](host::DriverSession& s, std::string& e) {
             std::int32_t station = -1;
             const bool ok = s.Driver()->lpVtbl->CheckStation(s.Driver(), "1a", &station) == 1;
             e = s.ErrorText();
             return ok;
         },
         driver::kErrorStation, "输入的表号错误!"},
        {"a port that does not exist",
         [](host::DriverSession& s, std::string& e) {
             return s.Open(Port("/nonexistent/qm4720-port"), e);
         },
         driver::kErrorOpen, "打开串口错误!"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string error;
        EXPECT_FALSE(c.call(*session_, error));
        EXPECT_EQ(session_->ErrorCode(), c.code);
        EXPECT_EQ(error.rfind(c.message, 0), 0u) << error;
    }
}

TEST_F(DriverSessionRefusals, AReadWithoutAnOpenPortFailsWithTheOpenErrorAndNoValue) {
    std::string error;
    const auto pv = session_->Resolve("", "PV", 0xFFFF, error);
    ASSERT_TRUE(pv.has_value()) << error;
    const host::Reading reading = session_->Read("", 1, *pv);
    EXPECT_FALSE(reading.ok);
    EXPECT_EQ(reading.errorCode, driver::kErrorOpen);
    EXPECT_EQ(reading.error, "打开串口错误!");
    EXPECT_EQ(reading.value, 0);
    EXPECT_EQ(reading.fileTime, 0u);
}

}  // namespace
