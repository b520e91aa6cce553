// A tracing pass-through between the driver and a real serial device (qm4720ctl --trace): a new
// pseudo-terminal that the driver opens in place of the device, and a thread that passes every
// byte both ways (host/oskit/forward.h) and writes a time-stamped trace line to stderr. Linux only:
// elsewhere StartLineTap says so.
#pragma once

#include <memory>
#include <string>

namespace host {

// Stops the pass-through and closes both ends when destroyed.
class LineTap {
public:
    virtual ~LineTap() = default;
    // The port name to give the driver instead of the device.
    virtual const std::string& PortName() const = 0;
};

struct TapLine {
    std::string device;
    int baud = 9600;
    int dataBits = 8;
    std::string parity = "none";
    int stopBits = 1;
};

// Opens `line.device` with its settings and starts the pass-through; null with `error` set.
std::unique_ptr<LineTap> StartLineTap(const TapLine& line, std::string& error);

}  // namespace host
