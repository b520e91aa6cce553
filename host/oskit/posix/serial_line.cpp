// Serial lines on Linux: non-blocking descriptors of terminal devices, opened raw with their line
// settings.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "host/oskit/posix/native_lines.h"
#include "host/oskit/posix/termios_settings.h"

namespace host {
namespace {

std::string SystemError(const std::string& what, const std::string& path) {
    return what + " " + path + ": " + std::strerror(errno);
}

}  // namespace

std::unique_ptr<SerialLine> LineOnDescriptor(int fd) {
    auto native = std::make_unique<SerialLine::Native>();
    native->fd = fd;
    return std::make_unique<SerialLine>(std::move(native));
}

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

}  // namespace host
