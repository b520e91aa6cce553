#include "driver/port_channel.h"

#include "serial/quiet_line.h"
#include "serial/serial_port.h"

namespace driver {

protocol::SendResult PortChannel::SendFrame(std::span<const std::uint8_t> frame) {
    if (frame.empty() || frame.size() > protocol::kMaxFrameLength) return {-1, std::nullopt};
    // After an exchange that ended without its answer, nothing goes out until that answer can no
    // longer arrive: taken for the reply to this request, it would be another meter's value.
    const serial::LineWait wait = serial::AwaitQuietLine(port_);
    // A line that never fell quiet gives no reply that could be trusted: nothing is sent, and the
    // exchange ends as if the frame had not gone out.
    if (wait == serial::LineWait::kNeverQuiet) return {0, std::nullopt};
    // No test of how soon a reply comes after the request: on a virtual line an instrument may
    // answer within a millisecond, and after the quiet wait no earlier answer is expected.
    const serial::SendResult sent = serial::SendFrame(port_, frame);
    protocol::SendResult result{sent.written, std::nullopt};
    if (sent.platformError) result.systemError = *sent.platformError;
    return result;
}

bool PortChannel::ReceiveFrame(std::span<std::uint8_t, protocol::kReplyBufferSize> buffer,
                               std::uint32_t& length) {
    return serial::ReceiveFrame(port_, timeoutMs_, &protocol::IsCompleteReply, buffer, length);
}

void PortChannel::ExpectLateAnswer(std::uint32_t pauseMs) {
    serial::ExpectLateAnswer(port_, serial::QuietTimeMs(timeoutMs_, pauseMs));
}

void PortChannel::Pause(std::uint32_t milliseconds) {
    platform::SleepMs(milliseconds);
}

std::uint64_t PortChannel::Now() const {
    const FILETIME now = platform::FileTimeNow();
    return (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

}  // namespace driver
