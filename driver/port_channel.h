// The channel of a driver object's transactions: the protocol's Channel over one serial port,
// with the object's baud factor and reply timeout. A small value made for each transaction from
// the object's fields; it keeps nothing of its own and records nothing, so that the object
// turns what went wrong into its error in one place (VER4720Ezo::RecordOutcome).
#pragma once

#include <cstdint>
#include <span>

#include "platform/platform.h"
#include "protocol/channel.h"

namespace driver {

class PortChannel final : public protocol::Channel {
public:
    PortChannel(HANDLE port, std::int32_t baudFactor, std::int32_t timeoutMs)
        : port_(port), baudFactor_(baudFactor), timeoutMs_(timeoutMs) {}

    // Frames longer than protocol::kMaxFrameLength, and empty ones, are refused without touching
    // the port.
    protocol::SendResult SendFrame(std::span<const std::uint8_t> frame) override;
    bool ReceiveFrame(std::span<std::uint8_t, protocol::kReplyBufferSize> buffer,
                      std::uint32_t& length) override;
    // Marks the port itself, so that every object sharing the handle waits for the quiet line.
    void ExpectLateAnswer(std::uint32_t pauseMs) override;
    std::int32_t BaudFactor() const override { return baudFactor_; }
    void Pause(std::uint32_t milliseconds) override;
    std::uint64_t Now() const override;

private:
    HANDLE port_;
    std::int32_t baudFactor_;
    std::int32_t timeoutMs_;
};

}  // namespace driver
