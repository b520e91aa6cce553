// The tracing pass-through of the host program on Linux: the simulator's forwarder on a thread.
#include <fcntl.h>
#include <unistd.h>

#include <thread>

#include "platform/host.h"
#include "tools/common/forward.h"
#include "tools/common/line.h"
#include "tools/common/pty.h"

namespace platform {
namespace {

class PtyLineTap : public LineTap {
public:
    ~PtyLineTap() override {
        if (worker_.joinable()) {
            const char stop = 1;
            (void)!write(stopPipe_[1], &stop, 1);
            worker_.join();
        }
        for (int fd : {stopPipe_[0], stopPipe_[1], device_}) {
            if (fd >= 0) close(fd);
        }
    }

    bool Start(const TapLine& line, std::string& error) {
        tooling::LineSettings settings;
        settings.baud = line.baud;
        settings.dataBits = line.dataBits;
        settings.stopBits = line.stopBits;
        if (!tooling::ParseParity(line.parity, settings.parity)) {
            error = "unknown parity " + line.parity;
            return false;
        }
        if (!pty_.Open(error)) return false;
        device_ = tooling::OpenSerialDevice(line.device, settings, error);
        if (device_ < 0) return false;
        if (pipe2(stopPipe_, O_CLOEXEC | O_NONBLOCK) != 0) {
            error = "cannot create the stop pipe";
            return false;
        }
        const int flags = fcntl(pty_.masterFd(), F_GETFL);
        fcntl(pty_.masterFd(), F_SETFL, flags | O_NONBLOCK);
        worker_ = std::thread([this] {
            tooling::ForwardCounts counts;
            tooling::ForwardOptions options;
            options.toDeviceLabel = "driver>line";
            options.fromDeviceLabel = "line>driver";
            tooling::Forward(pty_.masterFd(), device_, stopPipe_[0], &tracer_, options, counts);
        });
        return true;
    }

    const std::string& PortName() const override { return pty_.slavePath(); }

private:
    tooling::Pty pty_;
    tooling::Tracer tracer_{stderr};
    int device_ = -1;
    int stopPipe_[2] = {-1, -1};
    std::thread worker_;
};

}  // namespace

std::unique_ptr<LineTap> StartLineTap(const TapLine& line, std::string& error) {
    auto tap = std::make_unique<PtyLineTap>();
    if (!tap->Start(line, error)) return nullptr;
    return tap;
}

}  // namespace platform
