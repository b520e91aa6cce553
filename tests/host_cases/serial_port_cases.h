// The serial port of the driver object on a real line, as both operating systems run it: the
// baud range, a shared handle closed by one of its holders, a write on no port, and replies
// collected whole, split, after a lone STX, as an ACK alone, in silence and after a stale reply.
// Included by one test file per operating system, which supplies MakeLine(): the port that the
// driver opens and the instrument at its other end. What only one system can show stays in that
// system's file, in the same suites.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "contract/data_type.h"
#include "driver/ver4720ezo.h"
#include "platform/serial_calls.h"
#include "tests/support/test_request.h"

namespace serial_port_cases {

using driver::VER4720Ezo;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

// Read request for PV at station 1, and the instrument's data reply to it (PV, field 0025.5,
// its block check).
inline const Bytes kReadPv = {0x04, 0x30, 0x30, 0x31, 0x31, 0x50, 0x56, 0x05};
inline const Bytes kReplyPv = {0x02, 0x50, 0x56, 0x30, 0x30, 0x32, 0x35, 0x2E, 0x35, 0x03, 0x19};
inline constexpr std::uint8_t kAck = 0x06;
// Bytes can take a few milliseconds to cross a line on a busy machine: timing checks allow this.
inline constexpr auto kSlack = std::chrono::milliseconds(50);
inline constexpr auto kPoll = std::chrono::milliseconds(20);

// How the instrument answers the request that was just sent.
enum class Answer {
    kWhole,         // the PV reply in one piece
    kSplit,         // its first 4 bytes, then the other 7 some polls later
    kLoneStxFirst,  // its STX alone, then the other 10 bytes some polls later
    kAck,           // ACK alone (whatever may follow later is no part of the reply)
    kNothing,       // silence
};

// A line to an instrument, supplied by each operating system's test file.
class Line {
public:
    virtual ~Line() = default;

    // The port name that OpenPort is given.
    virtual std::string PortName() const = 0;

    // Has the instrument take the request just sent and start giving `answer`.
    virtual void Give(Answer answer) = 0;

    // Returns once the instrument has given all of its answer.
    virtual void Finish() = 0;

    // Leaves a whole PV reply queued at the driver's end of `object`'s open port, as an answer
    // that arrived after its exchange had given up, and returns once it is queued.
    virtual void LeaveStaleReply(VER4720Ezo& object) = 0;
};

// Defined by each test program. Null when the system's line cannot be set up.
std::unique_ptr<Line> MakeLine();

// Whether `port` has `count` bytes queued at the driver's end, waiting up to half a second.
inline bool WaitQueued(HANDLE port, DWORD count) {
    for (int i = 0; i < 100; ++i) {
        COMSTAT status{};
        DWORD errors = 0;
        if (ClearCommError(port, &errors, &status) && status.cbInQue >= count) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

// A handle that the test makes up and no call is given: 77, as a number on Linux and as a
// pointer on Windows.
template <class Handle = HANDLE>
Handle MadeUpHandle() {
    if constexpr (std::is_pointer_v<Handle>) {
        return reinterpret_cast<Handle>(std::uintptr_t{77});
    } else {
        return Handle{77};
    }
}

inline PortSettings SettingsFor(const std::string& name, std::int32_t baud = 9600,
                                std::int16_t stopBits = 1, std::int16_t replyTimeout = 400) {
    PortSettings settings{};
    std::strncpy(settings.portName, name.c_str(), sizeof settings.portName - 1);
    settings.baudRate = baud;
    settings.dataBits = 8;
    settings.stopBits = stopBits;
    settings.parity = NOPARITY;
    settings.replyTimeout = replyTimeout;
    return settings;
}

// Two driver objects beside one line.
class SerialPort : public ::testing::Test {
protected:
    void SetUp() override {
        line_ = MakeLine();
        ASSERT_NE(line_, nullptr) << "no line to an instrument";
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
    std::int32_t Send(VER4720Ezo* object, const Bytes& frame) {
        return object->ChannelToPort().SendFrame(frame).written;
    }
    // A whole read of PV through the extended slot: how a failed write reaches m_nError.
    std::int32_t ReadPv(VER4720Ezo* object) {
        testing_support::TestRequest request(0, 1, 4, "PV");
        request.AddItem(kTypeFloat);
        IDeviceDriverEx* ex = object->DeviceDriverEx();
        return ex->lpVtbl->ExecuteRequestEx(ex, &request.request());
    }

    std::unique_ptr<Line> line_;
    VER4720Ezo* a_ = nullptr;
    VER4720Ezo* b_ = nullptr;
};

TEST_F(SerialPort, RatesOutsideTheRangeCloseThePortAgain) {
    for (const std::int32_t baud : {299, 9601, 0, -9600}) {
        a_->m_nBaudFactor = -7;
        a_->m_hPort = MadeUpHandle();
        EXPECT_EQ(Open(a_, SettingsFor(line_->PortName(), baud)), 0) << baud;
        EXPECT_EQ(a_->m_nError, contract::kErrorBaudRange);
        EXPECT_EQ(a_->m_hPort, MadeUpHandle());
        EXPECT_EQ(a_->m_nBaudFactor, -7);
        // Anyone can open it at once. (No ASSERT here: a_ must not keep the made-up handle.)
        EXPECT_EQ(Open(b_, SettingsFor(line_->PortName())), 1) << baud;
        EXPECT_EQ(b_->ClosePort(), 1);
    }
    a_->m_hPort = INVALID_HANDLE_VALUE;
}

TEST_F(SerialPort, WriteOnNoPortRecordsTheInvalidHandleCode) {
    const protocol::SendResult sent = a_->ChannelToPort().SendFrame(kReadPv);
    EXPECT_EQ(sent.written, -1);
    EXPECT_EQ(sent.systemError, std::optional<std::uint32_t>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(ReadPv(a_), 0);
    EXPECT_EQ(a_->m_nError, static_cast<std::int32_t>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(a_->m_nError, 6);
    EXPECT_STREQ(a_->GetErrorText(), contract::MessageText(contract::kErrorOpen));
}

TEST_F(SerialPort, ClosingAnAdoptedHandleBreaksTheOtherHoldersNextSend) {
    ASSERT_EQ(Open(a_, SettingsFor(line_->PortName(), 2400, 1, 700)), 1);
    HANDLE shared = INVALID_HANDLE_VALUE;
    IDeviceDriverEx* exA = a_->DeviceDriverEx();
    IDeviceDriverEx* exB = b_->DeviceDriverEx();
    EXPECT_EQ(exA->lpVtbl->GetPortHandle(exA, &shared), 1);
    EXPECT_EQ(exB->lpVtbl->SetPortHandle(exB, &shared), 1);
    EXPECT_EQ(b_->m_hPort, shared);
    EXPECT_EQ(b_->m_nTimeout, 1500);  // the adopter keeps its own timing
    EXPECT_EQ(b_->m_nBaudFactor, 1);
    EXPECT_EQ(Send(b_, kReadPv), 8);
    line_->Give(Answer::kAck);
    std::array<std::uint8_t, 1024> buffer{};
    std::uint32_t length = 0;
    EXPECT_TRUE(b_->ChannelToPort().ReceiveFrame(buffer, length));
    line_->Finish();
    EXPECT_EQ(length, 1u);

    EXPECT_EQ(b_->ClosePort(), 1);
    EXPECT_EQ(b_->m_hPort, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Send(a_, kReadPv), -1);
    EXPECT_EQ(ReadPv(a_), 0);
    EXPECT_EQ(a_->m_nError, 6);
    a_->m_hPort = INVALID_HANDLE_VALUE;  // already closed through b_
}

// The receiving cases run twice: with the tick count as it is, and with the count started just
// before it wraps round, so that the wrap falls inside the waits.
class Receiving : public SerialPort, public ::testing::WithParamInterface<bool> {
protected:
    void SetUp() override {
        SerialPort::SetUp();
        if (HasFatalFailure()) return;
        if (GetParam()) {
            platform::SetTickCountOffset(0);
            platform::SetTickCountOffset(0xFFFFFFFFu - 150u - platform::TickCount());
        }
        ASSERT_EQ(Open(a_, SettingsFor(line_->PortName(), 9600, 1, 400)), 1);
    }
    // Sends the read request, has the instrument give `answer` and collects the reply.
    bool Exchange(Answer answer) {
        EXPECT_EQ(Send(a_, kReadPv), 8);
        line_->Give(answer);
        const auto start = Clock::now();
        const bool complete = a_->ChannelToPort().ReceiveFrame(buffer_, length_);
        elapsed_ = Clock::now() - start;
        line_->Finish();
        return complete;
    }
    Bytes Received() const { return Bytes(buffer_.begin(), buffer_.begin() + length_); }

    std::array<std::uint8_t, 1024> buffer_{};
    std::uint32_t length_ = 0xdeadbeef;
    Clock::duration elapsed_{};
};

TEST_P(Receiving, ReplyWholeSplitAndAfterALoneStx) {
    const struct {
        const char* what;
        Answer answer;
    } cases[] = {{"whole", Answer::kWhole},
                 {"split four and seven", Answer::kSplit},
                 {"a lone STX first", Answer::kLoneStxFirst}};
    for (const auto& c : cases) {
        length_ = 0xdeadbeef;
        ASSERT_TRUE(Exchange(c.answer)) << c.what;
        EXPECT_EQ(Received(), kReplyPv) << c.what;
    }
}

TEST_P(Receiving, AckAloneEndsTheReplyAtTheFirstPollThatFindsIt) {
    ASSERT_TRUE(Exchange(Answer::kAck));
    EXPECT_EQ(Received(), Bytes{kAck});
    EXPECT_LT(elapsed_, kPoll * 2 + kSlack);
}

TEST_P(Receiving, NoAnswerEndsWithinOnePollOfTheDeadline) {
    EXPECT_FALSE(Exchange(Answer::kNothing));
    EXPECT_EQ(length_, 0xdeadbeef);
    EXPECT_GE(elapsed_, std::chrono::milliseconds(400 - 1));
    EXPECT_LE(elapsed_, std::chrono::milliseconds(400) + kPoll + kSlack);
}

TEST_P(Receiving, LateBytesOfAnEarlierReplyArePurgedBeforeTheNextSend) {
    line_->LeaveStaleReply(*a_);
    ASSERT_TRUE(Exchange(Answer::kAck));
    EXPECT_EQ(Received(), Bytes{kAck});
}

INSTANTIATE_TEST_SUITE_P(TickCount, Receiving, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "NearWrap" : "AsItIs"; });

}  // namespace serial_port_cases
