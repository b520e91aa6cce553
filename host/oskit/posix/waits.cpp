// Waiting on Linux: poll() on the lines' descriptors and the stop signal's pipe, and sleeping to
// a point of the monotonic clock.
#include <poll.h>
#include <time.h>

#include <cerrno>

#include "host/oskit/posix/native_lines.h"

namespace host {

WaitResult WaitForInput(std::span<SerialLine* const> lines, const StopSignal& stop, int timeoutMs) {
    constexpr std::size_t kMaxLines = 16;
    WaitResult result;
    if (lines.size() > kMaxLines) {
        result.end = WaitEnd::kFailed;
        return result;
    }
    pollfd fds[kMaxLines + 1];
    for (std::size_t i = 0; i < lines.size(); ++i) fds[i] = {lines[i]->native().fd, POLLIN, 0};
    fds[lines.size()] = {stop.native().pipe[0], POLLIN, 0};
    const auto nfds = static_cast<nfds_t>(lines.size() + 1);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int wait = -1;
        if (timeoutMs >= 0) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            wait = left.count() > 0 ? static_cast<int>(left.count()) : 0;
        }
        const int ready = poll(fds, nfds, wait);
        if (ready < 0 && errno == EINTR) continue;  // a stop, if that was it, shows next round
        if (ready < 0) {
            result.end = WaitEnd::kFailed;
            return result;
        }
        if (stop.Raised() || (fds[lines.size()].revents & (POLLIN | POLLHUP)) != 0) {
            result.end = WaitEnd::kStopped;
            return result;
        }
        for (std::size_t i = 0; i < lines.size(); ++i) {
            // A hang-up, an error or a closed descriptor is reported by the line's next Read.
            if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) != 0) {
                result.ready |= 1u << i;
            }
        }
        if (result.ready != 0) {
            result.end = WaitEnd::kInput;
            return result;
        }
        if (ready == 0) {
            result.end = WaitEnd::kTimeout;
            return result;
        }
    }
}

void SleepUntil(std::chrono::steady_clock::time_point when) {
    // The steady clock of the C++ library is CLOCK_MONOTONIC.
    const auto sinceEpoch = when.time_since_epoch();
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(sinceEpoch);
    timespec at{};
    at.tv_sec = static_cast<time_t>(seconds.count());
    at.tv_nsec = static_cast<long>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(sinceEpoch - seconds).count());
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
    }
}

}  // namespace host
