// The public C++ interface on a line of the simulator: why a port cannot be opened, said as
// qm4720ctl says it, and the quality of what a write reports.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <string>

#include "qm4720/qm4720.hpp"
#include "tests/posix/sim_process.h"

namespace {

class PublicDriverLine : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(sim_.Start({"--station", "1", "--frozen", "--set", "1:SP=25.5"}));
    }

    static qm4720::OpenOptions Options(const std::string& port) {
        qm4720::OpenOptions options;
        options.port = port;
        options.modulePath = QM_MODULE_PATH;
        options.replyTimeoutMs = 300;
        return options;
    }

    simtest::SimProcess sim_;
};

// Permission denied is not among the cases: these tests run as root here, and root opens all.
TEST_F(PublicDriverLine, EveryOpenFailureIsTheOpenCodeWithTheSystemsReason) {
    qm4720::Driver holder;
    ASSERT_FALSE(holder.Open(Options(sim_.port())));
    // Longer than the 31 characters the module takes: followed first, then judged by its target.
    char folder[] = "/tmp/qm4720-public-driver-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::string longName = std::string(folder) + "/a-stable-name-longer-than-31";
    const std::string toNothing = longName + "-to-nothing";
    ASSERT_EQ(symlink("/tmp", longName.c_str()), 0);
    ASSERT_EQ(symlink("/dev/qm4720-no-such-port", toNothing.c_str()), 0);
    struct Case {
        std::string port;
        const char* reason;
    };
    const Case cases[] = {
        {"/dev/qm4720-no-such-port", "no such device"},
        {"/tmp", "Is a directory"},
        {"/dev/null", "not a serial device"},
        {sim_.port(), "busy"},
        {longName, "Is a directory"},
        {toNothing, "no such device"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.port);
        qm4720::Driver driver;
        const qm4720::Error error = driver.Open(Options(c.port));
        EXPECT_EQ(error.code, qm4720::ErrorCode::kOpen);
        EXPECT_EQ(error.message.rfind("cannot open " + c.port + ": 打开串口错误!", 0), 0u)
            << error.message;
        EXPECT_EQ(error.reason.rfind("the serial port could not be opened or used; ", 0), 0u)
            << error.reason;
        EXPECT_NE(error.reason.find(c.reason), std::string::npos) << error.reason;
        EXPECT_FALSE(driver.IsOpen());
    }
    holder.Close();
    // The long link to the simulator's short device name opens it.
    ASSERT_EQ(unlink(longName.c_str()), 0);
    ASSERT_EQ(symlink(sim_.port().c_str(), longName.c_str()), 0);
    qm4720::Driver viaLink;
    const qm4720::Error opened = viaLink.Open(Options(longName));
    EXPECT_FALSE(opened) << opened.message;
    EXPECT_TRUE(viaLink.Read(1, "SP").ok());
    unlink(longName.c_str());
    unlink(toNothing.c_str());
    rmdir(folder);
}

// The header defines quality 0 as failed: an acknowledged write is good, verified or not.
TEST_F(PublicDriverLine, AnAcknowledgedWriteIsGoodQualityWithOrWithoutVerify) {
    qm4720::Driver driver;
    ASSERT_FALSE(driver.Open(Options(sim_.port())));
    for (const bool verify : {false, true}) {
        const qm4720::Reading written = driver.Write(1, "SP", 30.5, verify);
        ASSERT_TRUE(written.ok()) << written.error.message;
        EXPECT_EQ(written.quality, 192) << verify;
        EXPECT_EQ(written.value, 30.5);
    }
    const qm4720::Reading failed = driver.Write(7, "SP", 30.5);  // no such station
    EXPECT_EQ(failed.error.code, qm4720::ErrorCode::kTimeout);
    EXPECT_EQ(failed.error.reason, "timeout: the meter did not answer in time");
    EXPECT_EQ(failed.quality, 0);
}

}  // namespace
