// No pseudo-terminals here, so no port for the driver to open in place of the network port.
#include "host/oskit/bridge/port_bridge.h"

namespace host {

std::shared_ptr<PortBridge> StartPortBridge(const NetworkPort& port, const LineSettings&,
                                            std::string& error, const std::function<bool()>&) {
    error = NetworkPortName(port) +
            ": a line through a serial device server needs Linux (this system has no "
            "pseudo-terminal for the driver to open in its place)";
    return nullptr;
}

}  // namespace host
