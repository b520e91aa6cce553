// What a transaction needs from the driver object that runs it: the object's port, its baud
// factor and its error state. The driver object implements it over its serial port; tests and
// fuzzers implement it over scripted bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace protocol {

// The reply buffer of one exchange, and the most that one poll reads.
inline constexpr std::size_t kReplyBufferSize = 1024;

// The request frame buffer: a frame takes at most 31 bytes, and the byte after it stays zero.
inline constexpr std::size_t kFrameBufferSize = 32;
inline constexpr std::size_t kMaxFrameLength = kFrameBufferSize - 1;

class Channel {
public:
    virtual ~Channel() = default;

    // Discards whatever is queued in either direction and writes `frame`. Returns the number of
    // bytes written (which may be fewer than asked, or 0, when the write timed out), or -1 when
    // the frame is empty or too long (nothing recorded) or the write failed (the platform's code
    // recorded as the object's error).
    virtual std::int32_t SendFrame(std::span<const std::uint8_t> frame) = 0;

    // Collects one reply block into `buffer` until the end rule holds or the reply timeout runs
    // out. True with `length` set when a block is complete; false on a timeout (recorded).
    virtual bool ReceiveFrame(std::span<std::uint8_t, kReplyBufferSize> buffer,
                              std::uint32_t& length) = 0;

    // 9600 divided by the configured baud rate: the pause after sending is 30 ms per unit.
    virtual std::int32_t BaudFactor() const = 0;

    // Blocks the calling thread (the pause between sending and collecting).
    virtual void Pause(std::uint32_t milliseconds) = 0;

    // Records a DriverError as the object's last failure.
    virtual void RecordError(std::int32_t driverError) = 0;
};

}  // namespace protocol
