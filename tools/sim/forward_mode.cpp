// qm4720sim --forward: the host library's forwarder between a new pseudo-terminal and a real
// instrument, every frame traced on stderr.
#include <cstdio>

#include "host/oskit/forward.h"
#include "tools/sim/serve.h"

namespace sim {

int RunForward(const Options& options, const host::LineSettings& settings,
               const host::StopSignal& stop) {
    std::string error;
    // The pseudo-terminal first: where the system has none, that is the thing to report.
    std::unique_ptr<host::PseudoTerminal> pty = host::OpenPseudoTerminal(
        error, options.rawPty ? host::PtySettings::kRaw : host::PtySettings::kKernelDefaults);
    std::unique_ptr<host::SerialLine> device;
    if (pty != nullptr) device = host::OpenSerialLine(options.forwardPath, settings, error);
    if (device == nullptr ||
        (!options.linkPath.empty() && !pty->MakeLink(options.linkPath, error))) {
        std::fprintf(stderr, "%s: %s\n", kProgram, error.c_str());
        return 1;
    }
    Announce(pty->path());
    host::Tracer tracer(stderr);
    host::ForwardCounts counts;
    const host::ForwardEnd end = host::Forward(pty->line(), *device, stop, &tracer, {}, counts);
    device.reset();
    if (end == host::ForwardEnd::kDeviceFailed) {
        std::fprintf(stderr, "%s: the device %s failed or went away\n", kProgram,
                     options.forwardPath.c_str());
    }
    std::fprintf(stderr, "%s: forwarded %llu bytes to the device, %llu bytes from it\n", kProgram,
                 static_cast<unsigned long long>(counts.toDevice),
                 static_cast<unsigned long long>(counts.fromDevice));
    return end == host::ForwardEnd::kStopped ? 0 : 1;
}

}  // namespace sim
