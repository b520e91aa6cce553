#include "driver/port_channel.h"

#include "serial/serial_port.h"

namespace driver {

protocol::SendResult PortChannel::SendFrame(std::span<const std::uint8_t> frame) {
    if (frame.size() > protocol::kMaxFrameLength) return {-1, std::nullopt};
    const serial::SendResult sent = serial::SendFrame(port_, frame);
    protocol::SendResult result{sent.written, std::nullopt};
    if (sent.platformError) result.systemError = *sent.platformError;
    return result;
}

bool PortChannel::ReceiveFrame(std::span<std::uint8_t, protocol::kReplyBufferSize> buffer,
                               std::uint32_t& length) {
    return serial::ReceiveFrame(port_, timeoutMs_, &protocol::IsCompleteReply, buffer, length);
}

void PortChannel::Pause(std::uint32_t milliseconds) {
    platform::SleepMs(milliseconds);
}

std::uint64_t PortChannel::Now() const {
    const FILETIME now = platform::FileTimeNow();
    return (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

}  // namespace driver
