// Line settings as terminal flags: the baud rates the terminal interface can set, and a raw line
// with the data bits, parity and stop bits asked for.
#include "host/oskit/posix/termios_settings.h"

#include <algorithm>
#include <iterator>
#include <string>

namespace host {
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

bool ReadLineSettings(const termios& tio, LineSettings& settings) {
    const speed_t speed = cfgetospeed(&tio);
    const auto baud = std::find_if(std::begin(kBaudCodes), std::end(kBaudCodes),
                                   [&](const BaudCode& entry) { return entry.code == speed; });
    if (baud == std::end(kBaudCodes)) return false;
    settings.baud = baud->baud;
    constexpr struct {
        tcflag_t size;
        int bits;
    } kSizes[] = {{CS5, 5}, {CS6, 6}, {CS7, 7}, {CS8, 8}};
    for (const auto& size : kSizes) {
        if ((tio.c_cflag & CSIZE) == size.size) settings.dataBits = size.bits;
    }
    const tcflag_t parity = tio.c_cflag & (PARENB | PARODD | CMSPAR);
    if ((parity & PARENB) == 0) {
        settings.parity = Parity::kNone;
    } else if ((parity & CMSPAR) != 0) {
        settings.parity = (parity & PARODD) != 0 ? Parity::kMark : Parity::kSpace;
    } else {
        settings.parity = (parity & PARODD) != 0 ? Parity::kOdd : Parity::kEven;
    }
    settings.stopBits = (tio.c_cflag & CSTOPB) != 0 ? 2 : 1;
    return true;
}

}  // namespace host
