#include "serial/quiet_line.h"

#include <algorithm>
#include <map>
#include <mutex>

#include "platform/serial_calls.h"
#include "serial/serial_port.h"

namespace serial {
namespace {

// Only ports whose last exchange ended without its answer have an entry; the normal path finds
// none and never waits.
std::mutex g_mutex;
std::map<HANDLE, LateAnswer> g_expected;

std::optional<LateAnswer> TakeEntry(HANDLE port) {
    const std::lock_guard lock(g_mutex);
    const auto entry = g_expected.find(port);
    if (entry == g_expected.end()) return std::nullopt;
    const LateAnswer expectation = entry->second;
    g_expected.erase(entry);
    return expectation;
}

void Put(HANDLE port, LateAnswer expectation) {
    const std::lock_guard lock(g_mutex);
    auto& entry = g_expected[port];
    // Two failures before the line went quiet: the longer wait of the two holds.
    entry.quietSince = expectation.quietSince;
    entry.quietMs = std::max(entry.quietMs, expectation.quietMs);
}

DWORD QueuedBytes(HANDLE port) {
    COMSTAT status{};
    DWORD lineErrors = 0;
    return ClearCommError(port, &lineErrors, &status) ? status.cbInQue : 0;
}

}  // namespace

std::uint32_t QuietTimeMs(std::int32_t replyTimeoutMs, std::uint32_t pauseMs) {
    const std::int64_t margin =
        std::min<std::int64_t>(std::max<std::int32_t>(replyTimeoutMs, 0), kLateAnswerMarginMs);
    const std::int64_t window = margin + std::int64_t{pauseMs};
    return static_cast<std::uint32_t>(
        std::clamp<std::int64_t>(window, kShortestQuietMs, kLongestQuietMs));
}

void ExpectLateAnswer(HANDLE port, std::uint32_t quietMs) {
    Put(port, {platform::TickCount(), quietMs});
}

std::optional<LateAnswer> TakeLateAnswer(HANDLE port) {
    return TakeEntry(port);
}

void RestoreLateAnswer(HANDLE port, LateAnswer expected) {
    Put(port, expected);
}

LineWait AwaitQuietLine(HANDLE port) {
    std::optional<LateAnswer> expected = TakeEntry(port);
    if (!expected) return LineWait::kNothingExpected;
    const std::uint32_t start = platform::TickCount();
    const std::uint32_t giveUpAfter = 2 * expected->quietMs;
    for (;;) {
        const std::uint32_t now = platform::TickCount();
        // Bytes found now may have arrived at any moment since the last poll: the quiet time
        // starts again from this poll, never from an earlier guess.
        if (QueuedBytes(port) > 0) {
            PurgeComm(port, PURGE_RXCLEAR);
            expected->quietSince = now;
        } else if (static_cast<std::uint32_t>(now - expected->quietSince) >= expected->quietMs) {
            return LineWait::kQuiet;
        }
        if (static_cast<std::uint32_t>(now - start) >= giveUpAfter) {
            Put(port, *expected);
            return LineWait::kNeverQuiet;
        }
        platform::SleepMs(kPollIntervalMs);
    }
}

}  // namespace serial
