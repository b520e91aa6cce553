// What needs a pseudo-terminal on Linux: Windows has none, so these say what to do instead.
#include "host/oskit/child_process.h"
#include "host/oskit/line_tap.h"

namespace host {

std::unique_ptr<ChildProcess> StartChild(const std::vector<std::string>&, std::string& error,
                                         const ChildOptions&) {
    // The demo starts the simulator on a new pseudo-terminal, which exists only on Linux.
    error =
        "the demo needs a pseudo-terminal (Linux); on Windows run qm4720sim --device on one end "
        "of a null-modem pair and qm4720ctl --port on the other";
    return nullptr;
}

std::unique_ptr<LineTap> StartLineTap(const TapLine&, std::string& error) {
    // The pass-through hands the driver a pseudo-terminal, which Windows does not have.
    error = "--trace is available on Linux only; on Windows use a port monitor";
    return nullptr;
}

}  // namespace host
