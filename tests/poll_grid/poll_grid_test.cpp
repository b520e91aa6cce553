// The receiver's poll grid on a counted clock: the serial code runs over the fake line of the
// fuzz build (fuzz/fake_line.cpp), whose bytes arrive at chosen moments and whose sleeps only
// advance the count. After a send the transaction pauses 30 ms and the receiver then polls every
// 20 ms: a reply is taken at the first poll at or after the moment it is complete.
#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "fuzz/fake_line.h"
#include "platform/platform.h"
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
        std::array<std::uint8_t, serial::kReplyBufferSize> buffer{};
        std::uint32_t length = 0;
        ASSERT_TRUE(serial::ReceiveFrame(fake_line::kPort, 400, buffer, length));
        EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + length), kReplyPv);
        EXPECT_EQ(fake_line::ElapsedMs(), c.takenAtMs);
    }
}

TEST(PollGrid, NoReplyEndsAtTheFirstPollPastTheDeadline) {
    for (const std::uint32_t timeoutMs : {10u, 100u, 400u}) {
        fake_line::Reset(1000, {});
        std::array<std::uint8_t, serial::kReplyBufferSize> buffer{};
        std::uint32_t length = 0;
        EXPECT_FALSE(serial::ReceiveFrame(fake_line::kPort, static_cast<std::int32_t>(timeoutMs),
                                          buffer, length));
        // Polls at 0, 20, 40, ...; the wait ends at the first one beyond the timeout.
        EXPECT_EQ(fake_line::ElapsedMs(), (timeoutMs / 20 + 1) * 20) << timeoutMs;
    }
}

}  // namespace
