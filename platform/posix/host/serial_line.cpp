// Serial lines on Linux: descriptors of terminal devices and pseudo-terminals, poll() for waits,
// and a pipe that the stop signal writes so that every poll wakes at once.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>

#include "platform/posix/host/termios_line.h"
#include "platform/serial_line.h"

namespace platform {

struct StopSignal::Native {
    int pipe[2] = {-1, -1};
    std::atomic<bool> raised{false};
};

struct SerialLine::Native {
    int fd = -1;
};

struct PseudoTerminal::Native {
    std::unique_ptr<SerialLine> master;
    // Held open for the life of the pair: while any slave descriptor is open, the master reads
    // no end-of-file and loses no bytes when the other program closes and reopens the port.
    int slave = -1;
    std::string slavePath;
    std::string linkPath;
};

namespace {

static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler stores the flag");

struct BaudCode {
    int baud;
    speed_t code;
};

constexpr BaudCode kBaudCodes[] = {
    {50, B50},       {75, B75},         {110, B110},       {134, B134},       {150, B150},
    {200, B200},     {300, B300},       {600, B600},       {1200, B1200},     {1800, B1800},
    {2400, B2400},   {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},
    {57600, B57600}, {115200, B115200}, {230400, B230400}, {460800, B460800}, {921600, B921600},
};

bool BaudToCode(int baud, speed_t& code) {
    for (const BaudCode& entry : kBaudCodes) {
        if (entry.baud == baud) {
            code = entry.code;
            return true;
        }
    }
    return false;
}

std::string SystemError(const std::string& what, const std::string& path) {
    return what + " " + path + ": " + std::strerror(errno);
}

std::unique_ptr<SerialLine> LineOnDescriptor(int fd) {
    auto native = std::make_unique<SerialLine::Native>();
    native->fd = fd;
    return std::make_unique<SerialLine>(std::move(native));
}

// The stop signal that SIGINT and SIGTERM raise.
std::atomic<StopSignal*> gSignalled{nullptr};

void OnTerminationSignal(int) {
    if (StopSignal* stop = gSignalled.load()) stop->Raise();
}

}  // namespace

bool IsSupportedBaud(int baud) {
    speed_t code;
    return BaudToCode(baud, code);
}

bool ApplyLineSettings(const LineSettings& settings, termios& tio) {
    speed_t speed;
    if (!BaudToCode(settings.baud, speed)) return false;
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS | CMSPAR);
    switch (settings.dataBits) {
        case 5:
            tio.c_cflag |= CS5;
            break;
        case 6:
            tio.c_cflag |= CS6;
            break;
        case 7:
            tio.c_cflag |= CS7;
            break;
        default:
            tio.c_cflag |= CS8;
            break;
    }
    switch (settings.parity) {
        case Parity::kNone:
            break;
        case Parity::kOdd:
            tio.c_cflag |= PARENB | PARODD;
            break;
        case Parity::kEven:
            tio.c_cflag |= PARENB;
            break;
        // Mark and space are the "stick" parities: the parity bit is always 1 or always 0.
        case Parity::kMark:
            tio.c_cflag |= PARENB | PARODD | CMSPAR;
            break;
        case Parity::kSpace:
            tio.c_cflag |= PARENB | CMSPAR;
            break;
    }
    if (settings.stopBits == 2) tio.c_cflag |= CSTOPB;
    // With VMIN 1 a non-blocking read of an empty queue fails with EAGAIN instead of returning 0,
    // so 0 keeps its meaning of end of file.
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    cfsetispeed(&tio, speed);
    cfsetospeed(&tio, speed);
    return true;
}

// ---- Stop signal ---------------------------------------------------------------------------

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

// ---- Lines ---------------------------------------------------------------------------------

SerialLine::SerialLine(std::unique_ptr<Native> native) : native_(std::move(native)) {}

SerialLine::~SerialLine() {
    if (native_->fd >= 0) close(native_->fd);
}

long SerialLine::Read(std::span<std::uint8_t> buffer, std::string& error) {
    const ssize_t n = read(native_->fd, buffer.data(), buffer.size());
    if (n > 0) return static_cast<long>(n);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return 0;
    error = n == 0 ? "end of file" : std::strerror(errno);
    return -1;
}

bool SerialLine::WriteAll(std::span<const std::uint8_t> bytes) {
    const std::uint8_t* next = bytes.data();
    std::size_t size = bytes.size();
    int stalledSeconds = 0;  // a peer that takes nothing for this long is not coming back
    while (size > 0) {
        const ssize_t n = write(native_->fd, next, size);
        if (n > 0) {
            next += n;
            size -= static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd p{native_->fd, POLLOUT, 0};
            const int ready = poll(&p, 1, 1000);
            if (ready < 0 && errno != EINTR) return false;
            if (ready == 0 && ++stalledSeconds >= 3) return false;
            continue;
        }
        return false;
    }
    return true;
}

std::unique_ptr<SerialLine> OpenSerialLine(const std::string& path, const LineSettings& settings,
                                           std::string& error) {
    if (!IsSupportedBaud(settings.baud)) {
        error = "unsupported baud rate " + std::to_string(settings.baud);
        return nullptr;
    }
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = SystemError("cannot open", path);
        return nullptr;
    }
    termios tio{};
    if (tcgetattr(fd, &tio) != 0) {
        error = SystemError("not a terminal device:", path);
        close(fd);
        return nullptr;
    }
    ApplyLineSettings(settings, tio);
    if (tcsetattr(fd, TCSANOW, &tio) != 0) {
        error = SystemError("cannot configure", path);
        close(fd);
        return nullptr;
    }
    tcflush(fd, TCIOFLUSH);
    return LineOnDescriptor(fd);
}

// ---- Pseudo-terminals ----------------------------------------------------------------------

PseudoTerminal::PseudoTerminal(std::unique_ptr<Native> native) : native_(std::move(native)) {}

PseudoTerminal::~PseudoTerminal() {
    if (!native_->linkPath.empty()) {
        char target[PATH_MAX];
        const ssize_t n = readlink(native_->linkPath.c_str(), target, sizeof target - 1);
        if (n > 0 && std::string(target, static_cast<std::size_t>(n)) == native_->slavePath) {
            unlink(native_->linkPath.c_str());
        }
    }
    if (native_->slave >= 0) close(native_->slave);
}

SerialLine& PseudoTerminal::line() {
    return *native_->master;
}

const std::string& PseudoTerminal::path() const {
    return native_->slavePath;
}

bool PseudoTerminal::MakeLink(const std::string& linkPath, std::string& error) {
    struct stat st {};
    if (lstat(linkPath.c_str(), &st) == 0) {
        if (!S_ISLNK(st.st_mode)) {
            error = linkPath + " exists and is not a symbolic link; not replacing it";
            return false;
        }
        unlink(linkPath.c_str());
    }
    if (symlink(native_->slavePath.c_str(), linkPath.c_str()) != 0) {
        error = "cannot create the link " + linkPath + ": " + std::strerror(errno);
        return false;
    }
    native_->linkPath = linkPath;
    return true;
}

std::unique_ptr<PseudoTerminal> OpenPseudoTerminal(std::string& error, PtySettings settings) {
    termios tio{};
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    cfsetispeed(&tio, B9600);
    cfsetospeed(&tio, B9600);
    // The master side is raw whatever the terminal's settings: they govern the other side.
    termios* initial = settings == PtySettings::kRaw ? &tio : nullptr;
    char name[PATH_MAX] = {};
    int master = -1;
    int slave = -1;
    if (openpty(&master, &slave, name, initial, nullptr) != 0) {
        error = std::string("cannot open a pseudo-terminal: ") + std::strerror(errno);
        return nullptr;
    }
    fcntl(master, F_SETFD, FD_CLOEXEC);
    fcntl(slave, F_SETFD, FD_CLOEXEC);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    auto native = std::make_unique<PseudoTerminal::Native>();
    native->master = LineOnDescriptor(master);
    native->slave = slave;
    native->slavePath = name;
    return std::make_unique<PseudoTerminal>(std::move(native));
}

// ---- Waiting -------------------------------------------------------------------------------

WaitResult WaitForInput(std::span<SerialLine* const> lines, const StopSignal& stop, int timeoutMs) {
    constexpr std::size_t kMaxLines = 16;
    WaitResult result;
    if (lines.size() > kMaxLines) {
        result.end = WaitEnd::kFailed;
        return result;
    }
    pollfd fds[kMaxLines + 1];
    for (std::size_t i = 0; i < lines.size(); ++i) fds[i] = {lines[i]->native().fd, POLLIN, 0};
    fds[lines.size()] = {stop.native().pipe[0], POLLIN, 0};
    const auto nfds = static_cast<nfds_t>(lines.size() + 1);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int wait = -1;
        if (timeoutMs >= 0) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            wait = left.count() > 0 ? static_cast<int>(left.count()) : 0;
        }
        const int ready = poll(fds, nfds, wait);
        if (ready < 0 && errno == EINTR) continue;  // a stop, if that was it, shows next round
        if (ready < 0) {
            result.end = WaitEnd::kFailed;
            return result;
        }
        if (stop.Raised() || (fds[lines.size()].revents & (POLLIN | POLLHUP)) != 0) {
            result.end = WaitEnd::kStopped;
            return result;
        }
        for (std::size_t i = 0; i < lines.size(); ++i) {
            // A hang-up, an error or a closed descriptor is reported by the line's next Read.
            if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) != 0) {
                result.ready |= 1u << i;
            }
        }
        if (result.ready != 0) {
            result.end = WaitEnd::kInput;
            return result;
        }
        if (ready == 0) {
            result.end = WaitEnd::kTimeout;
            return result;
        }
    }
}

void SleepUntil(std::chrono::steady_clock::time_point when) {
    // The steady clock of the C++ library is CLOCK_MONOTONIC.
    const auto sinceEpoch = when.time_since_epoch();
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(sinceEpoch);
    timespec at{};
    at.tv_sec = static_cast<time_t>(seconds.count());
    at.tv_nsec = static_cast<long>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(sinceEpoch - seconds).count());
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
    }
}

}  // namespace platform
