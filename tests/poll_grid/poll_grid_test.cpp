// The receiver's poll grid on a counted clock: the serial code runs over the fake line of the
// fuzz build (fuzz/fake_line.cpp), whose bytes arrive at chosen moments and whose sleeps only
// advance the count. After a send the transaction pauses 30 ms and the receiver then polls every
// 20 ms: a reply is taken at the first poll at or after the moment it is complete. The wait for a
// quiet line after an exchange without its answer polls on the same grid.
#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "tests/support/fake_line.h"
#include "platform/platform.h"
#include "protocol/wire_format.h"
#include "serial/quiet_line.h"
#include "serial/serial_port.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

const Bytes kReadPv = {0x04, 0x30, 0x30, 0x31, 0x31, 0x50, 0x56, 0x05};
const Bytes kReplyPv = {0x02, 0x50, 0x56, 0x30, 0x30, 0x32, 0x35, 0x2E, 0x35, 0x03, 0x19};
constexpr std::uint32_t kPauseMs = 30;  // after a send at 9600 baud

TEST(PollGrid, AReplyIsTakenAtTheFirstPollAfterItIsComplete) {
    const struct {
        std::uint32_t firstAtMs;  // since the send: the first bytes, then the rest
        std::size_t firstBytes;
        std::uint32_t restAtMs;
        std::uint32_t takenAtMs;
    } cases[] = {
        {1, 11, 1, 30},    // waiting before the pause ended: the first poll
        {30, 11, 30, 30},  // complete at the first poll
        {35, 11, 35, 50}, {50, 11, 50, 50}, {51, 11, 51, 70},
        {55, 11, 55, 70}, {35, 4, 75, 90},  // split: whole only at 75 ms
        {35, 1, 55, 70},                    // a lone STX waits for the rest
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "complete at " << c.restAtMs << " ms");
        const Bytes first(kReplyPv.begin(), kReplyPv.begin() + c.firstBytes);
        const Bytes rest(kReplyPv.begin() + c.firstBytes, kReplyPv.end());
        fake_line::Reset(1000, {{c.firstAtMs, first}, {c.restAtMs, rest}});
        ASSERT_EQ(serial::SendFrame(fake_line::kPort, kReadPv).written, 8);
        platform::SleepMs(kPauseMs);
        std::array<std::uint8_t, protocol::kReplyBufferSize> buffer{};
        std::uint32_t length = 0;
        ASSERT_TRUE(serial::ReceiveFrame(fake_line::kPort, 400, &protocol::IsCompleteReply, buffer,
                                         length));
        EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + length), kReplyPv);
        EXPECT_EQ(fake_line::ElapsedMs(), c.takenAtMs);
    }
}

TEST(PollGrid, NoReplyEndsAtTheFirstPollPastTheDeadline) {
    for (const std::uint32_t timeoutMs : {10u, 100u, 400u}) {
        fake_line::Reset(1000, {});
        std::array<std::uint8_t, protocol::kReplyBufferSize> buffer{};
        std::uint32_t length = 0;
        EXPECT_FALSE(serial::ReceiveFrame(fake_line::kPort, static_cast<std::int32_t>(timeoutMs),
                                          &protocol::IsCompleteReply, buffer, length));
        // Polls at 0, 20, 40, ...; the wait ends at the first one beyond the timeout.
        EXPECT_EQ(fake_line::ElapsedMs(), (timeoutMs / 20 + 1) * 20) << timeoutMs;
    }
}

// The quiet time is the failed exchange's pause and 250 ms (or its timeout where shorter), within
// 100 ms..3 s.
TEST(PollGrid, QuietTimeIsThePauseAndTheLateMarginWithinItsBounds) {
    const struct {
        std::int32_t timeoutMs;
        std::uint32_t pauseMs;
        std::uint32_t quietMs;
    } cases[] = {
        {300, 30, 280}, {1500, 30, 280}, {1500, 960, 1210}, {120, 30, 150},
        {10, 30, 100},  {32767, 30, 280}, {-5, 0, 100},    {1500, 3840, 3000},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(serial::QuietTimeMs(c.timeoutMs, c.pauseMs), c.quietMs)
            << c.timeoutMs << " ms, pause " << c.pauseMs;
    }
}

// After an exchange without its answer, the next one waits until nothing has arrived for the
// quiet time (330 ms here), counted from the failure or from the last poll that found bytes, and
// what arrived meanwhile is gone. A line that keeps talking is given up after twice the quiet time
// and still waited for next time.
TEST(PollGrid, AfterAFailedExchangeTheLineMustFallQuietBeforeTheNext) {
    const Bytes kAnswer = kReplyPv;
    const Bytes kTail(kReplyPv.begin() + 1, kReplyPv.end());
    std::vector<fake_line::Arrival> chatter;
    for (std::uint32_t at = 10; at < 800; at += 20) chatter.push_back({at, {0x30}});
    const struct {
        const char* what;
        bool expected;         // an exchange failed at 0 ms
        std::uint32_t idleMs;  // before the next exchange starts
        std::vector<fake_line::Arrival> arrivals;
        std::vector<serial::LineWait> waits;  // of the next exchanges, in turn
        std::uint32_t endMs;
    } cases[] = {
        {"no failure", false, 0, {{0, kAnswer}}, {serial::LineWait::kNothingExpected}, 0},
        {"silence", true, 0, {}, {serial::LineWait::kQuiet}, 340},
        {"late answer", true, 0, {{50, kAnswer}}, {serial::LineWait::kQuiet}, 400},
        {"answer in two pieces",
         true,
         0,
         {{50, {0x02}}, {300, kTail}},
         {serial::LineWait::kQuiet},
         640},
        {"failure long ago", true, 500, {}, {serial::LineWait::kQuiet}, 500},
        {"answer waiting since long ago",
         true,
         500,
         {{100, kAnswer}},
         {serial::LineWait::kQuiet},
         840},
        {"chatter",
         true,
         0,
         chatter,
         {serial::LineWait::kNeverQuiet, serial::LineWait::kQuiet},
         1140},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fake_line::Reset(1000, c.arrivals);
        if (c.expected) serial::ExpectLateAnswer(fake_line::kPort, 330);
        platform::SleepMs(c.idleMs);
        for (const serial::LineWait wait : c.waits) {
            EXPECT_EQ(serial::AwaitQuietLine(fake_line::kPort), wait);
        }
        EXPECT_EQ(fake_line::ElapsedMs(), c.endMs);
        EXPECT_EQ(serial::AwaitQuietLine(fake_line::kPort), serial::LineWait::kNothingExpected);
        if (!c.expected) continue;
        // Nothing of what arrived is left to be taken for the next reply.
        std::array<std::uint8_t, protocol::kReplyBufferSize> buffer{};
        std::uint32_t length = 0;
        EXPECT_FALSE(
            serial::ReceiveFrame(fake_line::kPort, 10, &protocol::IsCompleteReply, buffer, length));
        EXPECT_TRUE(fake_line::BytesRead().empty());
    }
}

}  // namespace
