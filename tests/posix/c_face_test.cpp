// The C face (qm4720_client.h) against the simulator: reads and writes, every kind of failure with
// its code for the handle and for the calling thread, and the reasons of qm4720_strerror.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <thread>

#include "qm4720/qm4720_client.h"
#include "tests/support/sim_process.h"

namespace {

const std::string kModule = std::string("module=") + QM_MODULE_PATH;

class CFace : public ::testing::Test {
protected:
    void SetUp() override {
        // Station 1 answers with values held still; station 5 is silent.
        ASSERT_TRUE(sim_.Start({"--frozen", "--reply-delay", "0", "--station", "1", "--set",
                                "1:PV=42.5", "--set", "1:SP=12.5"}))
            << sim_.Stderr();
        meter_ = qm4720_open(sim_.port().c_str(), ("9600,8N1,timeout=100," + kModule).c_str());
        ASSERT_NE(meter_, nullptr) << qm4720_last_message(nullptr);
    }
    void TearDown() override { qm4720_close(meter_); }

    simtest::SimProcess sim_;
    qm4720_t* meter_ = nullptr;
};

TEST_F(CFace, ReadsAndWritesTheMeter) {
    double value = 0;
    ASSERT_EQ(qm4720_read(meter_, 1, "PV", &value), 0) << qm4720_last_message(meter_);
    EXPECT_EQ(value, 42.5);
    EXPECT_EQ(qm4720_last_error(meter_), QM4720_E_NONE);
    EXPECT_STREQ(qm4720_last_message(meter_), "");

    ASSERT_EQ(qm4720_write(meter_, 1, "SP", 55.25), 0) << qm4720_last_message(meter_);
    ASSERT_EQ(qm4720_read(meter_, 1, "SP", &value), 0) << qm4720_last_message(meter_);
    EXPECT_EQ(value, 55.25);
}

// Each failure returns -1, leaves the value alone, and records its code for the handle and for
// the calling thread; the next success records none.
TEST_F(CFace, FailuresOfAnOpenHandleSayWhy) {
    enum class Call { kRead, kWrite, kReadIntoNull };
    const struct {
        const char* what;
        Call call;
        int station;
        const char* reg;
        int code;
    } cases[] = {
        {"a silent station", Call::kRead, 5, "PV", QM4720_E_TIMEOUT},
        {"a register the model lacks", Call::kRead, 1, "XX", QM4720_E_REGISTER_NAME},
        {"station 100", Call::kRead, 100, "PV", QM4720_E_USAGE},
        {"station -1", Call::kWrite, -1, "SP", QM4720_E_USAGE},
        {"a read-only register", Call::kWrite, 1, "PV", QM4720_E_USAGE},
        {"a value the field cannot carry", Call::kWrite, 1, "SP", QM4720_E_USAGE},
        {"a NULL register", Call::kRead, 1, nullptr, QM4720_E_USAGE},
        {"a NULL place for the value", Call::kReadIntoNull, 1, "PV", QM4720_E_USAGE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        double value = -7;
        int result = 0;
        switch (c.call) {
            case Call::kRead:
                result = qm4720_read(meter_, c.station, c.reg, &value);
                break;
            case Call::kWrite:
                result = qm4720_write(meter_, c.station, c.reg, 123456.0);
                break;
            case Call::kReadIntoNull:
                result = qm4720_read(meter_, c.station, c.reg, nullptr);
                break;
        }
        EXPECT_EQ(result, -1);
        EXPECT_EQ(value, -7);
        EXPECT_EQ(qm4720_last_error(meter_), c.code);
        EXPECT_EQ(qm4720_last_error(nullptr), c.code);
        EXPECT_STRNE(qm4720_last_message(meter_), "");

        ASSERT_EQ(qm4720_read(meter_, 1, "PV", &value), 0);
        EXPECT_EQ(qm4720_last_error(meter_), QM4720_E_NONE);
        EXPECT_EQ(qm4720_last_error(nullptr), QM4720_E_NONE);
    }
}

TEST_F(CFace, FailuresWithoutAHandleAreTheCallingThreadsOwn) {
    // The port is opened exclusively: freed, so that the driver gets as far as the baud rate.
    qm4720_close(meter_);
    meter_ = nullptr;
    const std::string port = sim_.port();
    const struct {
        const char* what;
        std::string port;
        std::string settings;
        int code;
    } cases[] = {
        {"no such device", "/dev/qm4720-no-such-port", kModule, QM4720_E_OPEN},
        {"a baud rate above 9600", port, "19200," + kModule, QM4720_E_BAUD_RANGE},
        {"no such module", port, "module=/nonexistent/qm4720.so", QM4720_E_MODULE},
        {"a reply timeout below 10 ms", port, "timeout=5," + kModule, QM4720_E_USAGE},
        {"settings the grammar refuses", port, "9600,9N1", QM4720_E_USAGE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(qm4720_open(c.port.c_str(), c.settings.c_str()), nullptr);
        EXPECT_EQ(qm4720_last_error(nullptr), c.code);
        EXPECT_STRNE(qm4720_last_message(nullptr), "");
    }
    // Without a handle nothing is done, and the refusal is the thread's.
    EXPECT_EQ(qm4720_open(nullptr, nullptr), nullptr);
    EXPECT_EQ(qm4720_last_error(nullptr), QM4720_E_USAGE);
    double untouched = -7;
    EXPECT_EQ(qm4720_read(nullptr, 1, "PV", &untouched), -1);
    EXPECT_EQ(untouched, -7);
    EXPECT_EQ(qm4720_write(nullptr, 1, "SP", 1.0), -1);
    EXPECT_EQ(qm4720_last_error(nullptr), QM4720_E_USAGE);
    EXPECT_NE(std::string(qm4720_last_message(nullptr)).find("NULL"), std::string::npos);
    qm4720_close(nullptr);

    // Another thread's failure is not this thread's, nor the open handle's.
    meter_ = qm4720_open(port.c_str(), kModule.c_str());
    ASSERT_NE(meter_, nullptr) << qm4720_last_message(nullptr);
    double value = 0;
    ASSERT_EQ(qm4720_read(meter_, 1, "PV", &value), 0);
    int otherThreads = QM4720_E_NONE;
    std::thread([&] {
        EXPECT_EQ(qm4720_open("/dev/qm4720-no-such-port", kModule.c_str()), nullptr);
        otherThreads = qm4720_last_error(nullptr);
    }).join();
    EXPECT_EQ(otherThreads, QM4720_E_OPEN);
    EXPECT_EQ(qm4720_last_error(nullptr), QM4720_E_NONE);
    EXPECT_EQ(qm4720_last_error(meter_), QM4720_E_NONE);
}

TEST(CFaceWithoutAHandle, EveryCodeHasAReasonOfItsOwn) {
    const int codes[] = {QM4720_E_NONE,           QM4720_E_REGISTER_NAME, QM4720_E_STATION,
                         QM4720_E_REGISTER_RANGE, QM4720_E_DATA_TYPE,     QM4720_E_TIMEOUT,
                         QM4720_E_OPEN,           QM4720_E_VALUE_RANGE,   QM4720_E_FORMAT,
                         QM4720_E_REPLY,          QM4720_E_BAUD_RANGE,    QM4720_E_MODULE,
                         QM4720_E_USAGE,          QM4720_E_REFUSED,       QM4720_E_MISMATCH,
                         QM4720_E_NOT_OPEN,       QM4720_E_OTHER};
    const std::string unknown = qm4720_strerror(999);
    EXPECT_EQ(unknown, "unknown error code");
    EXPECT_EQ(qm4720_strerror(-2), unknown);
    EXPECT_EQ(qm4720_strerror(4), unknown) << "4 is a message of the driver's table, no code";
    std::set<std::string> reasons;
    for (const int code : codes) {
        const std::string reason = qm4720_strerror(code);
        EXPECT_NE(reason, unknown) << code;
        EXPECT_TRUE(reasons.insert(reason).second) << code << " repeats '" << reason << "'";
    }
    EXPECT_NE(std::string(qm4720_strerror(QM4720_E_TIMEOUT)).find("did not answer"),
              std::string::npos);
}

}  // namespace
