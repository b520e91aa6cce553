// The public C++ interface on a line of the simulator: why a port cannot be opened, said as
// qm4720ctl says it, the quality of what a write reports, the driver's own text of each failure,
// a traced line and the module's request records passed as they are.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>

#include "qm4720/qm4720.h"
#include "qm4720/qm4720.hpp"
#include "host/oskit/line_tap.h"
#include "tests/support/sim_process.h"

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

// The header defines quality 0 as failed: an acknowledged write is good, verified or not, and a
// verified one that the meter did not keep is failed.
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

    // A meter that acknowledges a write without storing it: the verified write fails with what
    // the meter holds, and is not good.
    simtest::SimProcess local;
    ASSERT_TRUE(
        local.Start({"--station", "1", "--frozen", "--set", "1:SP=25.5", "--script", "unstored"}));
    qm4720::Driver checking;
    ASSERT_FALSE(checking.Open(Options(local.port())));
    const qm4720::Reading unstored = checking.Write(1, "SP", 30.5, true);
    EXPECT_EQ(unstored.error.code, qm4720::ErrorCode::kMismatch) << unstored.error.message;
    EXPECT_EQ(unstored.value, 25.5);
    EXPECT_EQ(unstored.quality, 0);
}

// qm4720ctl prints the driver's own text and adds its own context: the library keeps the two apart.
TEST_F(PublicDriverLine, TheDriversOwnTextIsKeptApartFromWhatTheLibraryAdds) {
    qm4720::Driver driver;
    ASSERT_FALSE(driver.Open(Options(sim_.port())));
    using Failure = std::function<qm4720::Error(qm4720::Driver&)>;
    struct Case {
        const char* what;
        Failure call;
        qm4720::ErrorCode code;
        std::string driverText;  // the start of it; "" when the library refused alone
        std::string message;     // the start of it
    };
    const Case cases[] = {
        {"register", [](qm4720::Driver& d) { return d.ParseRegister("pv").error; },
         qm4720::ErrorCode::kRegisterName, "设备寄存器名字错误!",
         "register 'pv': 设备寄存器名字错误!"},
        {"station", [](qm4720::Driver& d) { return d.CheckStation("1a").error; },
         qm4720::ErrorCode::kStation, "输入的表号错误!", "station '1a': 输入的表号错误!"},
        {"timeout", [](qm4720::Driver& d) { return d.Read(7, "SP").error; },
         qm4720::ErrorCode::kTimeout, "超时错误!", "超时错误!"},
        {"station number", [](qm4720::Driver& d) { return d.Read(100, "SP").error; },
         qm4720::ErrorCode::kUsage, "", "station 100"},
        {"read-only", [](qm4720::Driver& d) { return d.Write(1, "PV", 1).error; },
         qm4720::ErrorCode::kUsage, "", "write PV: a read-only register"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const qm4720::Error error = c.call(driver);
        EXPECT_EQ(error.code, c.code);
        if (c.driverText.empty()) {
            EXPECT_EQ(error.driverText, "");
        } else {
            EXPECT_EQ(error.driverText.rfind(c.driverText, 0), 0u) << error.driverText;
        }
        EXPECT_EQ(error.message.rfind(c.message, 0), 0u) << error.message;
    }
    // Loading again with the same module changes the model only: the port stays open.
    EXPECT_EQ(driver.ParseRegister("XP").reg.index, 29);
    ASSERT_FALSE(driver.Load(QM_MODULE_PATH, "QM4720N"));
    EXPECT_EQ(driver.ParseRegister("XP").reg.index, 36);
    ASSERT_FALSE(driver.Load(QM_MODULE_PATH, ""));
    EXPECT_TRUE(driver.IsOpen());
    EXPECT_EQ(driver.Read(1, "SP").value, 25.5);
    // A module that cannot be loaded says why in the system's words.
    qm4720::Driver unloaded;
    const qm4720::Error missing = unloaded.Load("/nonexistent/qm4720.so", "");
    EXPECT_EQ(missing.code, qm4720::ErrorCode::kModule);
    EXPECT_NE(missing.driverText.find("/nonexistent/qm4720.so"), std::string::npos)
        << missing.driverText;
}

TEST_F(PublicDriverLine, ATracedLineCarriesTheExchangesAndWritesThemToStderr) {
    qm4720::OpenOptions options = Options(sim_.port());
    options.passThrough = [](const std::string& device, const qm4720::LineSettings& line,
                             std::string& portName, std::string& error) {
        std::shared_ptr<host::LineTap> tap = host::StartLineTap(
            {device, line.baud, line.dataBits, qm4720::ParityName(line.parity), line.stopBits},
            error);
        if (tap != nullptr) portName = tap->PortName();
        return std::shared_ptr<void>(std::move(tap));
    };
    qm4720::Driver driver;
    testing::internal::CaptureStderr();
    const qm4720::Error opened = driver.Open(options);
    const qm4720::Reading reading = driver.Read(1, "SP");
    driver.Close();
    const std::string trace = testing::internal::GetCapturedStderr();
    ASSERT_FALSE(opened) << opened.message;
    EXPECT_EQ(reading.value, 25.5) << reading.error.message;
    EXPECT_NE(trace.find("driver>line"), std::string::npos) << trace;
    EXPECT_NE(trace.find("line>driver"), std::string::npos) << trace;
    // Closed, the device is free again for an untraced open.
    EXPECT_FALSE(driver.Open(Options(sim_.port())));
    driver.Close();

    options.port = "/dev/qm4720-no-such-port";
    const qm4720::Error failed = driver.Open(options);
    EXPECT_EQ(failed.code, qm4720::ErrorCode::kOpen);
    EXPECT_EQ(failed.driverText, "") << "the driver was never asked";
    EXPECT_NE(failed.reason.find("No such file"), std::string::npos) << failed.reason;
    EXPECT_FALSE(driver.IsOpen());
}

TEST_F(PublicDriverLine, ARequestRecordReachesTheModuleAsItIs) {
    QM4720IoItem items[3] = {};
    QM4720IoItemNode nodes[3] = {};
    for (int i = 0; i < 3; ++i) {
        items[i].type = QM4720_TYPE_FLOAT;
        nodes[i].item = &items[i];
        nodes[i].next = i < 2 ? &nodes[i + 1] : nullptr;
        nodes[i].previous = i > 0 ? &nodes[i - 1] : nullptr;
    }
    QM4720IoRequest request = {};
    request.station = 1;
    request.modelName = "";
    request.registerText = "SP";
    request.registerIndex = 13;
    request.direction = QM4720_DIRECTION_READ;
    request.items.head = &nodes[0];
    request.items.tail = &nodes[2];
    request.items.count = 3;

    qm4720::Driver driver;
    EXPECT_EQ(driver.ExecuteRequestRecord(request), 0) << "no port is open";
    ASSERT_FALSE(driver.Open(Options(sim_.port())));
    ASSERT_EQ(driver.ExecuteRequestRecord(request), 1);
    for (const QM4720IoItem& item : items) {
        EXPECT_EQ(item.value.asFloat, 25.5f);
        EXPECT_EQ(item.quality, QM4720_QUALITY_GOOD);
    }
    qm4720::Driver movedTo = std::move(driver);
    EXPECT_EQ(driver.ExecuteRequestRecord(request), 0) << "a Driver moved from holds nothing";
    EXPECT_EQ(movedTo.ExecuteRequestRecord(request), 1);
}

}  // namespace
