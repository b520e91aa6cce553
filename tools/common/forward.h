// Passing bytes both ways between a host-side descriptor (the master of a pseudo-terminal that a
// host program opened as its port) and a real device, tracing what passes.
#pragma once

#include <cstdint>
#include <string_view>

#include "tools/common/trace.h"

namespace tooling {

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
    kStopped,       // `stopFd` became readable
    kDeviceFailed,  // the device side reported an error or end of file
};

// Runs until `stopFd` becomes readable (a pipe written by a signal handler or another thread) or
// the device side fails. `tracer` may be null for no trace. Both descriptors should be
// non-blocking.
ForwardEnd Forward(int hostFd, int deviceFd, int stopFd, Tracer* tracer,
                   const ForwardOptions& options, ForwardCounts& counts);

}  // namespace tooling
