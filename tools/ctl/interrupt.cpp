#include "tools/ctl/interrupt.h"

#include "host/oskit/serial_line.h"

namespace ctl {
namespace {

host::StopSignal& Stop() {
    static host::StopSignal stop;
    return stop;
}

}  // namespace

bool CatchInterrupt() {
    return host::RaiseOnInterrupt(Stop());
}

bool Interrupted() {
    return Stop().Raised();
}

bool WaitUntil(std::chrono::steady_clock::time_point until) {
    for (;;) {
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        if (Interrupted()) return false;
        if (left.count() <= 0) return true;
        host::WaitForInput({}, Stop(), static_cast<int>(left.count()));
    }
}

}  // namespace ctl
