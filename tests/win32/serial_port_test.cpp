// The serial port of the driver object through the real Windows calls, under Wine, on COM5 of the
// build's prefix. COM5 leads to a pseudo-terminal whose other end is the instrument of run-test;
// after each send the test names the answer it wants in a file that the instrument watches
// (see run-test for why the frame itself cannot tell it).
//
// Cases that Wine cannot show, and are covered by the Linux suite instead:
// - the exclusive open: Wine lets a second CreateFileA of the same port succeed;
// - a non-standard rate on the line: Wine accepts any rate but sets 38400 for one the terminal
//   interface has no code for;
// - data bits and parity on the line: a pseudo-terminal forces 8 data bits and no parity;
// - a vanished line: closing the pseudo-terminal hangs up the Wine server, which holds it as its
//   controlling terminal.
// Cases that exercise only the shared code (the reply timeout, null arguments, refused frames, a
// full reply buffer) run in the Linux suite alone.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "driver/ver4720ezo.h"
#include "platform/platform.h"
#include "records/data_type.h"
#include "tests/support/test_request.h"

namespace {

using driver::VER4720Ezo;
using testing_support::TestRequest;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr char kPort[] = "COM5";
// The data reply of PV, field 0025.5, that the instrument gives.
const Bytes kReplyPv = {0x02, 0x50, 0x56, 0x30, 0x30, 0x32, 0x35, 0x2E, 0x35, 0x03, 0x19};
constexpr std::uint8_t kAck = 0x06;
constexpr auto kSlack = std::chrono::milliseconds(50);
constexpr auto kPoll = std::chrono::milliseconds(20);

// A read request at station 1 for `mnemonic`, which tells the instrument how to answer.
Bytes ReadRequest(const char* mnemonic) {
    return {0x04,
            0x30,
            0x30,
            0x31,
            0x31,
            static_cast<std::uint8_t>(mnemonic[0]),
            static_cast<std::uint8_t>(mnemonic[1]),
            0x05};
}

// Asks the instrument for the answer named `mnemonic` (see run-test).
void Ask(const char* mnemonic) {
    const char* folder = std::getenv("QM_INSTRUMENT_DIR");
    ASSERT_NE(folder, nullptr) << "run through run-test";
    // Written whole under another name, then renamed, so the instrument never reads half.
    const std::string path = folder;
    const std::string staged = "Z:" + path + "/request.new";
    const std::string request = "Z:" + path + "/request";
    std::FILE* file = std::fopen(staged.c_str(), "wb");
    ASSERT_NE(file, nullptr) << staged;
    std::fputs(mnemonic, file);
    std::fclose(file);
    ASSERT_TRUE(MoveFileA(staged.c_str(), request.c_str())) << GetLastError();
}

PortSettings SettingsFor(const char* name, std::int32_t baud = 9600, std::int16_t stopBits = 1,
                         std::int16_t replyTimeout = 400) {
    PortSettings settings{};
    std::strncpy(settings.portName, name, sizeof settings.portName - 1);
    settings.baudRate = baud;
    settings.dataBits = 8;
    settings.stopBits = stopBits;
    settings.parity = NOPARITY;
    settings.replyTimeout = replyTimeout;
    return settings;
}

class SerialPortUnderWine : public ::testing::Test {
protected:
    void SetUp() override {
        a_ = static_cast<VER4720Ezo*>(VER4720Ezo::CreateObject());
        b_ = static_cast<VER4720Ezo*>(VER4720Ezo::CreateObject());
        ASSERT_NE(a_, nullptr);
        ASSERT_NE(b_, nullptr);
    }
    void TearDown() override {
        for (VER4720Ezo* object : {a_, b_}) {
            if (object == nullptr) continue;
            object->ClosePort();
            object->ExternalRelease();
        }
        platform::SetTickCountOffset(0);
    }
    std::int32_t Open(VER4720Ezo* object, const PortSettings& settings) {
        IDeviceDriver* dd = object->DeviceDriver();
        return dd->lpVtbl->OpenPort(dd, 0, &settings);
    }
    // A whole read of PV through the extended slot: how a failed write reaches m_nError.
    std::int32_t ReadPv(VER4720Ezo* object) {
        TestRequest request(0, 1, 4, "PV");
        request.AddItem(kTypeFloat);
        IDeviceDriverEx* ex = object->DeviceDriverEx();
        return ex->lpVtbl->ExecuteRequestEx(ex, &request.request());
    }
    // COM5 exists only when the program runs through run-test.
    void OpenCom5(VER4720Ezo* object, const PortSettings& settings) {
        ASSERT_EQ(Open(object, settings), 1) << "COM5 is wired to the instrument by run-test";
    }

    VER4720Ezo* a_ = nullptr;
    VER4720Ezo* b_ = nullptr;
};

TEST_F(SerialPortUnderWine, RateFactorsStopBitsAndTheRange) {
    const struct {
        std::int32_t baud;
        std::int16_t stopBits;
        std::int32_t factor;
        BYTE stopBitsCode;
    } cases[] = {{300, 1, 32, ONESTOPBIT},
                 {2400, 2, 4, TWOSTOPBITS},
                 {7000, 0, 1, ONESTOPBIT},
                 {9600, 3, 1, ONESTOPBIT}};
    for (const auto& c : cases) {
        OpenCom5(a_, SettingsFor(kPort, c.baud, c.stopBits));
        EXPECT_EQ(a_->m_nBaudFactor, c.factor) << c.baud;
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        ASSERT_TRUE(GetCommState(a_->m_hPort, &dcb));
        EXPECT_EQ(dcb.StopBits, c.stopBitsCode) << c.stopBits;
        if (c.baud != 7000) {
            EXPECT_EQ(dcb.BaudRate, static_cast<DWORD>(c.baud));
        }
        EXPECT_EQ(a_->ClosePort(), 1);
    }
    for (const std::int32_t baud : {299, 9601}) {
        a_->m_nBaudFactor = -7;
        EXPECT_EQ(Open(a_, SettingsFor(kPort, baud)), 0) << baud;
        EXPECT_EQ(a_->m_nError, driver::kErrorBaudRange);
        EXPECT_EQ(a_->m_hPort, INVALID_HANDLE_VALUE);
        EXPECT_EQ(a_->m_nBaudFactor, -7);
    }
}

TEST_F(SerialPortUnderWine, WriteOnNoPortRecordsTheInvalidHandleCode) {
    EXPECT_EQ(a_->ChannelToPort().SendFrame(ReadRequest("PV")).written, -1);
    EXPECT_EQ(ReadPv(a_), 0);
    EXPECT_EQ(a_->m_nError, 6);
    EXPECT_STREQ(a_->GetErrorText(), driver::MessageText(driver::kErrorOpen));
}

TEST_F(SerialPortUnderWine, ClosingAnAdoptedHandleBreaksTheOtherHoldersNextSend) {
    OpenCom5(a_, SettingsFor(kPort));
    HANDLE shared = INVALID_HANDLE_VALUE;
    IDeviceDriverEx* exA = a_->DeviceDriverEx();
    IDeviceDriverEx* exB = b_->DeviceDriverEx();
    EXPECT_EQ(exA->lpVtbl->GetPortHandle(exA, &shared), 1);
    EXPECT_EQ(exB->lpVtbl->SetPortHandle(exB, &shared), 1);
    EXPECT_EQ(b_->ChannelToPort().SendFrame(ReadRequest("AK")).written, 8);
    Ask("AK");
    std::array<std::uint8_t, 1024> buffer{};
    std::uint32_t length = 0;
    EXPECT_TRUE(b_->ChannelToPort().ReceiveFrame(buffer, length));
    EXPECT_EQ(length, 1u);

    EXPECT_EQ(b_->ClosePort(), 1);
    EXPECT_EQ(a_->ChannelToPort().SendFrame(ReadRequest("AK")).written, -1);
    EXPECT_EQ(ReadPv(a_), 0);
    EXPECT_EQ(a_->m_nError, 6);
    a_->m_hPort = INVALID_HANDLE_VALUE;  // already closed through b_
}

// The receiving cases run with the tick count as it is and with it started just before the wrap.
class ReceivingUnderWine : public SerialPortUnderWine, public ::testing::WithParamInterface<bool> {
protected:
    void SetUp() override {
        SerialPortUnderWine::SetUp();
        OpenCom5(a_, SettingsFor(kPort));
        if (GetParam()) {
            platform::SetTickCountOffset(0);
            platform::SetTickCountOffset(0xFFFFFFFFu - 150u - platform::TickCount());
        }
    }
    bool Exchange(const char* mnemonic) {
        EXPECT_EQ(a_->ChannelToPort().SendFrame(ReadRequest(mnemonic)).written, 8);
        Ask(mnemonic);
        const auto start = Clock::now();
        const bool complete = a_->ChannelToPort().ReceiveFrame(buffer_, length_);
        elapsed_ = Clock::now() - start;
        return complete;
    }
    Bytes Received() const { return Bytes(buffer_.begin(), buffer_.begin() + length_); }

    std::array<std::uint8_t, 1024> buffer_{};
    std::uint32_t length_ = 0xdeadbeef;
    Clock::duration elapsed_{};
};

TEST_P(ReceivingUnderWine, ReplyWholeSplitAndAfterALoneStx) {
    for (const char* mnemonic : {"PV", "P4", "P1"}) {
        length_ = 0xdeadbeef;
        ASSERT_TRUE(Exchange(mnemonic)) << mnemonic;
        EXPECT_EQ(Received(), kReplyPv) << mnemonic;
    }
}

TEST_P(ReceivingUnderWine, AckAlone) {
    ASSERT_TRUE(Exchange("AK"));
    EXPECT_EQ(Received(), Bytes{kAck});
}

TEST_P(ReceivingUnderWine, NoAnswerEndsWithinOnePollOfTheDeadline) {
    EXPECT_FALSE(Exchange("NO"));
    EXPECT_EQ(length_, 0xdeadbeef);
    EXPECT_GE(elapsed_, std::chrono::milliseconds(400 - 1));
    EXPECT_LE(elapsed_, std::chrono::milliseconds(400) + kPoll + kSlack);
}

TEST_P(ReceivingUnderWine, LateBytesOfAnEarlierReplyArePurgedBeforeTheNextSend) {
    ASSERT_TRUE(Exchange("LT"));
    EXPECT_EQ(Received(), kReplyPv);
    // The instrument repeats its reply 150 ms later, after this exchange is over.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    COMSTAT status{};
    DWORD errors = 0;
    ASSERT_TRUE(ClearCommError(a_->m_hPort, &errors, &status));
    ASSERT_EQ(status.cbInQue, kReplyPv.size());
    ASSERT_TRUE(Exchange("AK"));
    EXPECT_EQ(Received(), Bytes{kAck});
}

INSTANTIATE_TEST_SUITE_P(TickCount, ReceivingUnderWine, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "NearWrap" : "AsItIs"; });

}  // namespace
