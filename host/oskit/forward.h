// Passing bytes both ways between a host-side line (the program's side of a pseudo-terminal that
// a host program opened as its port) and a real device, tracing what passes.
#pragma once

#include <cstdint>
#include <string_view>

#include "host/oskit/serial_line.h"
#include "host/oskit/trace.h"

namespace host {

struct ForwardCounts {
    std::uint64_t toDevice = 0;    // bytes passed from the host side to the device
    std::uint64_t fromDevice = 0;  // bytes passed from the device to the host side
};

struct ForwardOptions {
    std::string_view toDeviceLabel = "host>dev";
    std::string_view fromDeviceLabel = "dev>host";
    // Bytes that follow each other in one direction with gaps shorter than this are traced as one
    // line, so a frame that the line delivers in pieces still reads as one frame. Forwarding itself
    // never waits: every byte is passed on as soon as it is read.
    int traceGapMs = 20;
};

enum class ForwardEnd {
    kStopped,       // `stop` was raised
    kDeviceFailed,  // the device side reported an error or end of file
};

// Runs until `stop` is raised (by a signal or another thread) or the device side fails. `tracer`
// may be null for no trace.
ForwardEnd Forward(host::SerialLine& host, host::SerialLine& device, const host::StopSignal& stop,
                   Tracer* tracer, const ForwardOptions& options, ForwardCounts& counts);

}  // namespace host
