// The tracing pass-through of qm4720ctl --trace on Linux: the forwarder (host/oskit/forward.h) on a
// thread, between a new pseudo-terminal that the driver opens and the real device.
#include <thread>

#include "host/oskit/line_tap.h"
#include "host/oskit/forward.h"
#include "host/oskit/serial_line.h"

namespace host {
namespace {

class PtyLineTap : public LineTap {
public:
    ~PtyLineTap() override {
        if (worker_.joinable()) {
            stop_.Raise();
            worker_.join();
        }
    }

    bool Start(const TapLine& line, std::string& error) {
        LineSettings settings;
        settings.baud = line.baud;
        settings.dataBits = line.dataBits;
        settings.stopBits = line.stopBits;
        if (!ParseParity(line.parity, settings.parity)) {
            error = "unknown parity " + line.parity;
            return false;
        }
        pty_ = OpenPseudoTerminal(error);
        if (pty_ == nullptr) return false;
        device_ = OpenSerialLine(line.device, settings, error);
        if (device_ == nullptr) return false;
        if (!stop_.ok()) {
            error = "cannot create the stop pipe";
            return false;
        }
        worker_ = std::thread([this] {
            host::ForwardCounts counts;
            host::ForwardOptions options;
            options.toDeviceLabel = "driver>line";
            options.fromDeviceLabel = "line>driver";
            host::Forward(pty_->line(), *device_, stop_, &tracer_, options, counts);
        });
        return true;
    }

    const std::string& PortName() const override { return pty_->path(); }

private:
    std::unique_ptr<PseudoTerminal> pty_;
    std::unique_ptr<SerialLine> device_;
    StopSignal stop_;
    host::Tracer tracer_{stderr};
    std::thread worker_;
};

}  // namespace

std::unique_ptr<LineTap> StartLineTap(const TapLine& line, std::string& error) {
    auto tap = std::make_unique<PtyLineTap>();
    if (!tap->Start(line, error)) return nullptr;
    return tap;
}

}  // namespace host
