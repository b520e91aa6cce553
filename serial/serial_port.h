// The serial link of one driver object: opening and configuring its port from the host's
// settings, closing it, writing one request frame and collecting one reply frame under a
// deadline. Functions over a port handle and plain values; the driver object keeps the handle,
// the baud factor, the reply timeout and the error, and calls these from its slots.
//
// Everything runs on the caller's thread and blocks it; nothing here takes a lock. Objects that
// share one handle must be called one at a time: each exchange purges and reads the same line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "platform/platform.h"
#include "records/port_settings.h"

namespace serial {

inline constexpr std::int32_t kLowestBaudRate = 300;
inline constexpr std::int32_t kHighestBaudRate = 9600;
inline constexpr std::uint32_t kPollIntervalMs = 20;

// Whether the bytes collected so far form a whole reply. The protocol above owns the rule and
// hands it to ReceiveFrame, which only moves bytes.
using ReplyEndRule = bool (*)(std::span<const std::uint8_t> collected);

// The reply timeout that a settings record selects: its replyTimeout when 10 ms or more, else
// 1000 ms.
std::int32_t ReplyTimeoutFrom(const PortSettings& settings);

enum class OpenFailure {
    kNone,
    kOpen,       // the port could not be opened or refused the settings
    kBaudRange,  // baudRate outside 300..9600; the port was closed again
};

// Opens settings.portName exclusively and configures it. On success `port` receives the new
// handle (a handle it held before is left open). `baudFactor` (9600 / baudRate) is written once
// the rate is known good, even if the port then refuses the settings. On failure `port` keeps
// its value and no handle stays open.
OpenFailure OpenPort(const PortSettings& settings, HANDLE& port, std::int32_t& baudFactor);

// Closes `port` unless it is the invalid handle, and then makes it the invalid handle. False when
// the platform refused to close it; `port` then keeps its value.
bool ClosePort(HANDLE& port);

struct SendResult {
    std::int32_t written;                // bytes written (may be fewer than asked, even 0); -1
    std::optional<DWORD> platformError;  // set when the write itself failed
};

// Discards whatever is queued in either direction, then writes `frame`. An empty frame is refused
// with -1 and the port is not touched; how long a frame may be is the caller's rule.
SendResult SendFrame(HANDLE port, std::span<const std::uint8_t> frame);

// Polls `port` every 20 ms and appends what arrived to `buffer` (at most its remaining room per
// poll) until `isComplete` holds for everything collected. Then discards what is still queued,
// sets `length` and returns true. False when `timeoutMs` ran out first (or the buffer filled
// without a complete reply); the bytes collected stay in `buffer` and `length` is untouched.
bool ReceiveFrame(HANDLE port, std::int32_t timeoutMs, ReplyEndRule isComplete,
                  std::span<std::uint8_t> buffer, std::uint32_t& length);

}  // namespace serial
