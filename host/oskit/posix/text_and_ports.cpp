// The terminal, the time zone and the serial ports of this machine on Linux: isatty and the window
// size, localtime_r, and sysfs (serial_port_list.cpp).
#include <sys/ioctl.h>
#include <unistd.h>

#include <ctime>

#include "host/oskit/posix/serial_port_list.h"
#include "host/oskit/system_text.h"

namespace host {

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

std::vector<SerialPortInfo> ListSerialPorts() {
    return ListSerialPortsIn("/sys/class/tty", "/dev/serial/by-id");
}

}  // namespace host
