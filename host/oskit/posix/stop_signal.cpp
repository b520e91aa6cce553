// The stop signal on Linux: a flag, and a pipe that Raise writes so that every poll wakes at once.
// Raise only stores and writes, so a signal handler may call it.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>

#include "host/oskit/posix/native_lines.h"

namespace host {
namespace {

static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler stores the flag");

// The stop signal that the bound signals raise.
std::atomic<StopSignal*> gSignalled{nullptr};

void OnTerminationSignal(int) {
    if (StopSignal* stop = gSignalled.load()) stop->Raise();
}

}  // namespace

StopSignal::StopSignal() : native_(std::make_unique<Native>()) {
    if (pipe2(native_->pipe, O_CLOEXEC | O_NONBLOCK) != 0) native_->pipe[0] = native_->pipe[1] = -1;
}

StopSignal::~StopSignal() {
    StopSignal* self = this;
    gSignalled.compare_exchange_strong(self, nullptr);
    for (const int fd : native_->pipe) {
        if (fd >= 0) close(fd);
    }
}

bool StopSignal::ok() const {
    return native_->pipe[0] >= 0;
}

void StopSignal::Raise() {
    native_->raised.store(true);
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = write(native_->pipe[1], &byte, 1);
}

bool StopSignal::Raised() const {
    return native_->raised.load();
}

bool RaiseOnTerminationSignals(StopSignal& stop) {
    if (!stop.ok()) return false;
    gSignalled.store(&stop);
    struct sigaction action {};
    action.sa_handler = OnTerminationSignal;
    sigemptyset(&action.sa_mask);
    if (sigaction(SIGINT, &action, nullptr) != 0 || sigaction(SIGTERM, &action, nullptr) != 0) {
        return false;
    }
    signal(SIGPIPE, SIG_IGN);
    return true;
}

bool RaiseOnInterrupt(StopSignal& stop) {
    if (!stop.ok()) return false;
    gSignalled.store(&stop);
    // SA_RESTART: a read or write of the driver that the signal interrupts goes on, as it does
    // under the C library's signal().
    struct sigaction action {};
    action.sa_handler = OnTerminationSignal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    // A service manager's stop (SIGTERM) and a closed terminal (SIGHUP) deserve the same orderly
    // end as Ctrl-C: the results so far, a complete document, the summary.
    return sigaction(SIGINT, &action, nullptr) == 0 && sigaction(SIGTERM, &action, nullptr) == 0 &&
           sigaction(SIGHUP, &action, nullptr) == 0;
}

}  // namespace host
