// What a transaction needs from the port it runs over: moving its bytes, the baud factor, the
// pause after sending and the time of day. The driver supplies a channel over its serial port;
// tests and fuzzers supply channels over scripted bytes. A channel records nothing: what went
// wrong comes back to the transaction, which returns it to the driver (Outcome).
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "protocol/wire_format.h"

namespace protocol {

// What one write of a request frame did.
struct SendResult {
    // Bytes put on the line: may be fewer than asked, even 0, when the write timed out; -1 when
    // the frame was refused (empty or longer than kMaxFrameLength) or the write failed.
    std::int32_t written;
    // The operating system's code, set when the write itself failed.
    std::optional<std::uint32_t> systemError;
};

class Channel {
public:
    virtual ~Channel() = default;

    // Discards whatever is queued in either direction and writes `frame`.
    virtual SendResult SendFrame(std::span<const std::uint8_t> frame) = 0;

    // Collects one reply block into `buffer` until IsCompleteReply holds or the reply timeout
    // runs out. True with `length` set when a block is complete; false on a timeout.
    virtual bool ReceiveFrame(std::span<std::uint8_t, kReplyBufferSize> buffer,
                              std::uint32_t& length) = 0;

    // The exchange, which paused `pauseMs` after sending, ended without this request's answer
    // (none came in time, or the block was not the answer): that answer, or an earlier one, may
    // still arrive. A channel over a real line then keeps the next request back until the line
    // has been quiet long enough, discarding what arrives meanwhile. Channels over scripted bytes
    // have no line that could carry it.
    virtual void ExpectLateAnswer([[maybe_unused]] std::uint32_t pauseMs) {}

    // 9600 divided by the configured baud rate: the pause after sending is 30 ms per unit.
    virtual std::int32_t BaudFactor() const = 0;

    // Blocks the calling thread (the pause between sending and collecting).
    virtual void Pause(std::uint32_t milliseconds) = 0;

    // The current time as a file time (100-nanosecond units since 1601-01-01, UTC): the stamp
    // of the items of an accepted read.
    virtual std::uint64_t Now() const = 0;
};

}  // namespace protocol
