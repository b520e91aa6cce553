// The settings text of qm4720_open, item by item: what each accepted text sets, and that every
// mistake is refused with a message rather than read as something else.
#include <gtest/gtest.h>

#include <string>

#include "host/client/c_face_settings.h"

namespace {

using qm4720::Parity;

TEST(OpenSettings, AcceptedTextsSetTheirItemsAndLeaveTheRest) {
    const struct {
        const char* text;
        int baud;
        int dataBits;
        Parity parity;
        int stopBits;
        int timeoutMs;
        const char* model;
        const char* module;
    } cases[] = {
        {"", 9600, 8, Parity::kNone, 1, 400, "", ""},
        {"9600,8N1", 9600, 8, Parity::kNone, 1, 400, "", ""},
        {"4800,7E2,timeout=1000", 4800, 7, Parity::kEven, 2, 1000, "", ""},
        {"5O1", 9600, 5, Parity::kOdd, 1, 400, "", ""},
        {"8M1", 9600, 8, Parity::kMark, 1, 400, "", ""},
        {"8S2,300", 300, 8, Parity::kSpace, 2, 400, "", ""},
        {"model=QM4720N,module=/opt/qm/qm4720.so", 9600, 8, Parity::kNone, 1, 400, "QM4720N",
         "/opt/qm/qm4720.so"},
        // Ranges the driver and the C++ interface check are theirs: passed on as written.
        {"115200,timeout=5", 115200, 8, Parity::kNone, 1, 5, "", ""},
        {"model=", 9600, 8, Parity::kNone, 1, 400, "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        qm4720::OpenOptions options;
        std::string error;
        ASSERT_TRUE(host::ParseOpenSettings(c.text, options, error)) << error;
        EXPECT_EQ(options.baud, c.baud);
        EXPECT_EQ(options.dataBits, c.dataBits);
        EXPECT_EQ(options.parity, c.parity);
        EXPECT_EQ(options.stopBits, c.stopBits);
        EXPECT_EQ(options.replyTimeoutMs, c.timeoutMs);
        EXPECT_EQ(options.model, c.model);
        EXPECT_EQ(options.modulePath, c.module);
    }
}

TEST(OpenSettings, MistakesAreRefusedWithTheItemNamed) {
    const struct {
        const char* text;
        const char* named;  // in the message
    } cases[] = {
        {"9600,", "''"},
        {"9600,,8N1", "''"},
        {"9600 ", "'9600 '"},
        {"9600000", "'9600000'"},
        {"9N1", "'9N1'"},
        {"8X1", "'8X1'"},
        {"8n1", "'8n1'"},
        {"8N3", "'8N3'"},
        {"8N1,7E1", "'7E1' repeats"},
        {"9600,4800", "'4800' repeats"},
        {"timeout=", "timeout="},
        {"timeout=1s", "timeout=1s"},
        {"module=", "'module='"},
        {"speed=9600", "'speed=9600'"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        qm4720::OpenOptions options;
        std::string error;
        EXPECT_FALSE(host::ParseOpenSettings(c.text, options, error));
        EXPECT_NE(error.find(c.named), std::string::npos) << error;
    }
}

}  // namespace
