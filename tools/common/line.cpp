#include "tools/common/line.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tooling {
namespace {

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

}  // namespace

bool ParseParity(std::string_view text, Parity& parity) {
    constexpr struct {
        std::string_view name;
        Parity parity;
    } kNames[] = {{"none", Parity::kNone},
                  {"odd", Parity::kOdd},
                  {"even", Parity::kEven},
                  {"mark", Parity::kMark},
                  {"space", Parity::kSpace}};
    for (const auto& entry : kNames) {
        if (entry.name == text) {
            parity = entry.parity;
            return true;
        }
    }
    return false;
}

std::string_view ParityName(Parity parity) {
    switch (parity) {
        case Parity::kNone:
            return "none";
        case Parity::kOdd:
            return "odd";
        case Parity::kEven:
            return "even";
        case Parity::kMark:
            return "mark";
        case Parity::kSpace:
            return "space";
    }
    return "none";
}

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

int OpenSerialDevice(const std::string& path, const LineSettings& settings, std::string& error) {
    if (!IsSupportedBaud(settings.baud)) {
        error = "unsupported baud rate " + std::to_string(settings.baud);
        return -1;
    }
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = SystemError("cannot open", path);
        return -1;
    }
    termios tio{};
    if (tcgetattr(fd, &tio) != 0) {
        error = SystemError("not a terminal device:", path);
        close(fd);
        return -1;
    }
    ApplyLineSettings(settings, tio);
    if (tcsetattr(fd, TCSANOW, &tio) != 0) {
        error = SystemError("cannot configure", path);
        close(fd);
        return -1;
    }
    tcflush(fd, TCIOFLUSH);
    return fd;
}

bool WriteAll(int fd, const void* data, std::size_t size) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    int stalledSeconds = 0;  // a peer that takes nothing for this long is not coming back
    while (size > 0) {
        const ssize_t n = write(fd, bytes, size);
        if (n > 0) {
            bytes += n;
            size -= static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd p{fd, POLLOUT, 0};
            const int ready = poll(&p, 1, 1000);
            if (ready < 0 && errno != EINTR) return false;
            if (ready == 0 && ++stalledSeconds >= 3) return false;
            continue;
        }
        return false;
    }
    return true;
}

}  // namespace tooling
