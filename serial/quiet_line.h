// Late answers. A meter that answers after the reply timeout puts its answer on the line while the
// next exchange runs, and a data reply names its register but not its station: taken as the reply
// to the next request, it would show one meter's value as another's. So once an exchange on a port
// has ended without its answer, the port's next exchange first waits until the line has been quiet
// long enough that the answer cannot still be on its way, discarding whatever arrives meanwhile.
//
// The expectation belongs to the port handle, not to a driver object: every object that shares
// the handle reads the same line. Exchanges set and await it under the port's ExchangeLock, so
// one port's expectation is never set and awaited at once; the table of ports has its own lock.
#pragma once

#include <cstdint>
#include <optional>

#include "platform/platform.h"

namespace serial {

// How late an answer is still waited for, past the reply timeout of the exchange that failed. A
// meter late by more than this has a timeout set too short for it; waiting for the whole timeout
// again would cost every line with a switched-off meter a second reply timeout at each retry.
inline constexpr std::uint32_t kLateAnswerMarginMs = 250;
// Bounds of the quiet time: even the shortest reply timeout leaves a late answer a few poll
// intervals to start, and the slowest line is not stalled for more than three seconds.
inline constexpr std::uint32_t kShortestQuietMs = 100;
inline constexpr std::uint32_t kLongestQuietMs = 3000;

// How long the line must stay quiet before a late answer is no longer expected: the failed
// exchange's pause after sending (the meter's turnaround at the line's speed) and the margin
// above, or the reply timeout where that is shorter, within the bounds above.
std::uint32_t QuietTimeMs(std::int32_t replyTimeoutMs, std::uint32_t pauseMs);

// Notes that an exchange on `port` ended without its answer now: its answer (or an earlier one)
// may still come, and the line must be quiet for `quietMs` from now before a reply is taken again.
void ExpectLateAnswer(HANDLE port, std::uint32_t quietMs);

// What is expected on a port: since when its line has been quiet (a tick count), and for how
// long it must be.
struct LateAnswer {
    std::uint32_t quietSince;
    std::uint32_t quietMs;
};

// Takes what is expected off `port`: for a handle that was just closed, whose value the platform
// may give to another port. The object that closed it keeps it for the port it opens next, most
// likely the same line, where the answer may still arrive.
std::optional<LateAnswer> TakeLateAnswer(HANDLE port);

// Puts what was taken off a closed handle on a newly opened `port`.
void RestoreLateAnswer(HANDLE port, LateAnswer expected);

enum class LineWait {
    kNothingExpected,  // no exchange on this port ended without its answer: returned at once
    kQuiet,            // the line has been quiet for the quiet time; nothing is expected any more
    kNeverQuiet,       // bytes kept arriving for twice the quiet time; still expected
};

// When a late answer is expected on `port`: polls the line every 20 ms, discarding whatever
// arrived, until nothing has arrived for the quiet time, counted from the failed exchange or from
// the last poll that found bytes. Gives up after twice the quiet time of polling, so that a line
// that never falls silent cannot hold the caller for ever.
LineWait AwaitQuietLine(HANDLE port);

}  // namespace serial
