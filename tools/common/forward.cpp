#include "tools/common/forward.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <vector>

#include "tools/common/line.h"

namespace tooling {
namespace {

using Clock = std::chrono::steady_clock;

// Bytes read in one direction and not yet traced.
struct Pending {
    std::string_view label;
    std::vector<std::uint8_t> bytes;
    Clock::time_point last{};

    void Flush(Tracer* tracer) {
        if (tracer != nullptr && !bytes.empty()) tracer->Trace(label, bytes);
        bytes.clear();
    }
};

enum class Pass { kOk, kNothing, kFailed };

// Reads what `from` holds and writes it to `to`; the bytes join `pending` for the trace.
Pass PassOn(int from, int to, Pending& pending, std::uint64_t& count) {
    std::uint8_t buffer[1024];
    const ssize_t n = read(from, buffer, sizeof buffer);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return Pass::kNothing;
    if (n <= 0) return Pass::kFailed;
    const auto size = static_cast<std::size_t>(n);
    if (!WriteAll(to, buffer, size)) return Pass::kFailed;
    pending.bytes.insert(pending.bytes.end(), buffer, buffer + size);
    pending.last = Clock::now();
    count += size;
    return Pass::kOk;
}

}  // namespace

ForwardEnd Forward(int hostFd, int deviceFd, int stopFd, Tracer* tracer,
                   const ForwardOptions& options, ForwardCounts& counts) {
    Pending toDevice{options.toDeviceLabel, {}, {}};
    Pending fromDevice{options.fromDeviceLabel, {}, {}};
    const auto gap = std::chrono::milliseconds(options.traceGapMs);
    for (;;) {
        int timeoutMs = -1;
        if (!toDevice.bytes.empty() || !fromDevice.bytes.empty()) timeoutMs = options.traceGapMs;
        pollfd fds[3] = {{hostFd, POLLIN, 0}, {deviceFd, POLLIN, 0}, {stopFd, POLLIN, 0}};
        const int ready = poll(fds, 3, timeoutMs);
        if (ready < 0 && errno != EINTR) return ForwardEnd::kDeviceFailed;
        if (ready > 0 && (fds[2].revents & (POLLIN | POLLHUP)) != 0) {
            toDevice.Flush(tracer);
            fromDevice.Flush(tracer);
            return ForwardEnd::kStopped;
        }
        if (ready > 0 && (fds[0].revents & POLLIN) != 0) {
            // A reply still being traced ends when the host speaks again, and the other way round.
            fromDevice.Flush(tracer);
            if (PassOn(hostFd, deviceFd, toDevice, counts.toDevice) == Pass::kFailed) {
                toDevice.Flush(tracer);
                return ForwardEnd::kDeviceFailed;
            }
        }
        if (ready > 0 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            toDevice.Flush(tracer);
            if (PassOn(deviceFd, hostFd, fromDevice, counts.fromDevice) == Pass::kFailed) {
                fromDevice.Flush(tracer);
                return ForwardEnd::kDeviceFailed;
            }
        }
        const auto now = Clock::now();
        if (!toDevice.bytes.empty() && now - toDevice.last >= gap) toDevice.Flush(tracer);
        if (!fromDevice.bytes.empty() && now - fromDevice.last >= gap) fromDevice.Flush(tracer);
    }
}

}  // namespace tooling
