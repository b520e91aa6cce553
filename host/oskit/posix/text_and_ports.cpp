// The driver's GBK texts, the terminal, the time zone and the serial ports of this machine on
// Linux: iconv, isatty and the window size, localtime_r, and sysfs (serial_port_list.cpp).
#include <iconv.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <ctime>

#include "host/posix/serial_port_list.h"
#include "host/system_text.h"

namespace host {

std::string GbkToUtf8(std::string_view gbk) {
    iconv_t cd = iconv_open("UTF-8", "GBK");
    if (cd == reinterpret_cast<iconv_t>(-1)) return std::string(gbk);
    std::string in(gbk);
    std::string out(in.size() * 3 + 4, '\0');
    char* inPtr = in.data();
    char* outPtr = out.data();
    std::size_t inLeft = in.size();
    std::size_t outLeft = out.size();
    while (inLeft > 0 && iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) == static_cast<size_t>(-1)) {
        // A byte that is not GBK is shown as '?' rather than dropping the rest of the message.
        if (outLeft == 0) break;
        *outPtr++ = '?';
        --outLeft;
        ++inPtr;
        --inLeft;
    }
    iconv_close(cd);
    out.resize(out.size() - outLeft);
    return out;
}

bool StdoutIsTerminal() {
    return isatty(STDOUT_FILENO) == 1;
}

bool StdoutTerminalSize(int& columns, int& rows) {
    winsize size{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_col == 0 || size.ws_row == 0)
        return false;
    columns = size.ws_col;
    rows = size.ws_row;
    return true;
}

int LocalUtcOffsetMinutes(long long unixSeconds) {
    const auto t = static_cast<time_t>(unixSeconds);
    tm local{};
    if (localtime_r(&t, &local) == nullptr) return 0;
    return static_cast<int>(local.tm_gmtoff / 60);
}

std::string PortDeviceName(const std::string& port) {
    // The driver takes a port name of up to 31 characters. A longer one is most often a stable
    // link (/dev/serial/by-id/...), and the device it points at has a short name.
    if (port.size() < 32) return port;
    char resolved[PATH_MAX];
    return realpath(port.c_str(), resolved) != nullptr ? std::string(resolved) : port;
}

std::vector<SerialPortInfo> ListSerialPorts() {
    return ListSerialPortsIn("/sys/class/tty", "/dev/serial/by-id");
}

}  // namespace host
