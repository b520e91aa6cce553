#include "host/oskit/forward.h"

#include <chrono>
#include <vector>

namespace host {
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
Pass PassOn(host::SerialLine& from, host::SerialLine& to, Pending& pending, std::uint64_t& count) {
    std::uint8_t buffer[1024];
    std::string error;
    const long n = from.Read(buffer, error);
    if (n == 0) return Pass::kNothing;
    if (n < 0) return Pass::kFailed;
    const auto size = static_cast<std::size_t>(n);
    if (!to.WriteAll(std::span(buffer, size))) return Pass::kFailed;
    pending.bytes.insert(pending.bytes.end(), buffer, buffer + size);
    pending.last = Clock::now();
    count += size;
    return Pass::kOk;
}

}  // namespace

ForwardEnd Forward(host::SerialLine& host, host::SerialLine& device, const host::StopSignal& stop,
                   Tracer* tracer, const ForwardOptions& options, ForwardCounts& counts) {
    Pending toDevice{options.toDeviceLabel, {}, {}};
    Pending fromDevice{options.fromDeviceLabel, {}, {}};
    const auto gap = std::chrono::milliseconds(options.traceGapMs);
    host::SerialLine* const lines[2] = {&host, &device};
    for (;;) {
        int timeoutMs = -1;
        if (!toDevice.bytes.empty() || !fromDevice.bytes.empty()) timeoutMs = options.traceGapMs;
        const host::WaitResult wait = host::WaitForInput(lines, stop, timeoutMs);
        if (wait.end == host::WaitEnd::kFailed) return ForwardEnd::kDeviceFailed;
        if (wait.end == host::WaitEnd::kStopped) {
            toDevice.Flush(tracer);
            fromDevice.Flush(tracer);
            return ForwardEnd::kStopped;
        }
        if ((wait.ready & 1u) != 0) {
            // A reply still being traced ends when the host speaks again, and the other way round.
            fromDevice.Flush(tracer);
            if (PassOn(host, device, toDevice, counts.toDevice) == Pass::kFailed) {
                toDevice.Flush(tracer);
                return ForwardEnd::kDeviceFailed;
            }
        }
        if ((wait.ready & 2u) != 0) {
            toDevice.Flush(tracer);
            if (PassOn(device, host, fromDevice, counts.fromDevice) == Pass::kFailed) {
                fromDevice.Flush(tracer);
                return ForwardEnd::kDeviceFailed;
            }
        }
        const auto now = Clock::now();
        if (!toDevice.bytes.empty() && now - toDevice.last >= gap) toDevice.Flush(tracer);
        if (!fromDevice.bytes.empty() && now - fromDevice.last >= gap) fromDevice.Flush(tracer);
    }
}

}  // namespace host
