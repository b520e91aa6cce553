// The host library's driver session against the real module, on every system: each refusal comes
// back as the driver's message in UTF-8 with its DriverError code, and every message of the
// module's tables maps back to the code it stands for.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <string>

#include "contract/data_type.h"
#include "contract/data_type_messages.h"
#include "contract/message_codes.h"
#include "contract/messages.h"
#include "host/client/driver_session.h"

namespace {

TEST(DriverMessages, EveryTextOfTheModuleMapsToItsCodeAndNothingElseDoes) {
    // The codes of the public header; the table's other entries are never recorded.
    constexpr std::int32_t kCodes[] = {QM4720_ERROR_REGISTER_NAME,  QM4720_ERROR_STATION,
                                       QM4720_ERROR_REGISTER_RANGE, QM4720_ERROR_DATA_TYPE,
                                       QM4720_ERROR_TIMEOUT,        QM4720_ERROR_OPEN,
                                       QM4720_ERROR_VALUE_RANGE,    QM4720_ERROR_FORMAT,
                                       QM4720_ERROR_REPLY,          QM4720_ERROR_BAUD_RANGE};
    for (std::int32_t entry = 0; entry < contract::kMessageCount; ++entry) {
        const bool isCode =
            std::find(std::begin(kCodes), std::end(kCodes), entry) != std::end(kCodes);
        // A copy: the text decides, not the address of the module's string.
        const std::string text = contract::MessageText(entry);
        EXPECT_EQ(contract::DriverErrorOfMessage(text.c_str()),
                  isCode ? entry : contract::kErrorNone)
            << entry;
    }
    // Entry 3 is replaced at run time by the data-type message of each refusal.
    constexpr std::uint16_t kTypes[] = {kTypeBit,    kTypeInt, kTypeFloat,
                                        kTypeString, 0,        kTypeInt | kTypeFloat};
    for (const std::uint16_t type : kTypes) {
        EXPECT_EQ(contract::DriverErrorOfMessage(contract::DataTypeMessage(type)),
                  contract::kErrorDataType)
            << type;
    }
    EXPECT_EQ(contract::DriverErrorOfMessage(nullptr), contract::kErrorNone);
    EXPECT_EQ(contract::DriverErrorOfMessage(""), contract::kErrorNone);
    // The timeout text without its exclamation mark: close is not the same.
    EXPECT_EQ(contract::DriverErrorOfMessage("\xB3\xAC\xCA\xB1\xB4\xED\xCE\xF3"),
              contract::kErrorNone);
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
         contract::kErrorRegisterName, "设备寄存器名字错误!"},
        {"a tag that accepts INT only, for the FLOAT register PV",
         [](host::DriverSession& s, std::string& e) {
             return s.Resolve("", "PV", kTypeInt, e).has_value();
         },
         contract::kErrorDataType, "数据类型错误,应选FLOAT数据类型."},
        {"a station text with a letter",
         [](host::DriverSession& s, std::string& e) {
             std::int32_t station = -1;
             const bool ok = s.Driver()->lpVtbl->CheckStation(s.Driver(), "1a", &station) == 1;
             e = s.ErrorText();
             return ok;
         },
         contract::kErrorStation, "输入的表号错误!"},
        {"a port that does not exist",
         [](host::DriverSession& s, std::string& e) {
             return s.Open(Port("/nonexistent/qm4720-port"), e);
         },
         contract::kErrorOpen, "打开串口错误!"},
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
    EXPECT_EQ(reading.errorCode, contract::kErrorOpen);
    EXPECT_EQ(reading.error, "打开串口错误!");
    EXPECT_EQ(reading.value, 0);
    EXPECT_EQ(reading.fileTime, 0u);
}

}  // namespace
