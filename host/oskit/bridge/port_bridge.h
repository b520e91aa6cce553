// A line through a serial device server, as a local pseudo-terminal: the driver opens the
// terminal by name as it opens any port, and a thread passes the bytes between the terminal and
// the server's socket. With rfc2217:// the line's settings are sent to the server when the bridge
// opens, so the device server's port runs at the line's baud, parity, data and stop bits. When the
// server goes away the terminal is hung up, so the driver's next exchange fails as on a device
// that was unplugged and its host closes the line and opens it again (a new bridge).
// Linux only: elsewhere StartPortBridge says so.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "host/oskit/bridge/network_port.h"
#include "host/oskit/serial_line.h"

namespace host {

struct BridgeTimes {
    // From the start of the connection to the socket being ready for the line's bytes: the TCP
    // connect, and with rfc2217:// the telnet negotiation and the settings the server confirmed.
    std::chrono::microseconds connect{0};
    // The last round trip: from a request's bytes handed to the socket to the first bytes that
    // came back. None before the first reply.
    std::optional<std::chrono::microseconds> lastRoundTrip;
    std::uint64_t roundTrips = 0;
};

// Stops the bridge and closes the terminal and the connection when destroyed.
class PortBridge {
public:
    virtual ~PortBridge() = default;
    // The terminal's device name, to give the driver instead of the network port.
    virtual const std::string& PortName() const = 0;
    // False once the server closed the connection or it failed (the terminal is hung up then).
    virtual bool Connected() const = 0;
    // Any thread.
    virtual BridgeTimes Times() const = 0;
};

// Connects to `port` (sending `line` with rfc2217://) and starts the bridge; null with `error`
// saying what failed (the server refused, the name is unknown, the server did not confirm the
// settings), without the port's name, which the caller puts in front. Connecting may take some
// seconds (a server that drops the packets, a slow link): `keepWaiting`, when given, is called
// about every 100 ms meanwhile (a line worker shows it is alive), and false gives up.
std::shared_ptr<PortBridge> StartPortBridge(const NetworkPort& port, const LineSettings& line,
                                            std::string& error,
                                            const std::function<bool()>& keepWaiting = {});

}  // namespace host
