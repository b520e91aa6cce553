// Why a COM port cannot be opened on Windows: the port opened again and the system's answer. The
// system does not say which program holds a port, so a busy port is only named as such.
#include <windows.h>

#include <cstring>

#include "host/client/port_problem.h"

namespace host {

std::string PortOpenProblem(const std::string& port) {
    const std::string device = PortDeviceName(port);
    HANDLE handle = CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
        CloseHandle(handle);
        return {};
    }
    switch (GetLastError()) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            return port + ": no such port (the ports of this machine: qm4720ctl ports)";
        case ERROR_ACCESS_DENIED:
            // A COM port is opened exclusively: this is nearly always another program.
            return port + ": busy: another program has it open, or this user may not open it";
        case ERROR_SHARING_VIOLATION:
            return port + ": busy: another program has it open";
        default:
            return {};
    }
}

std::string PortDeviceName(const std::string& port) {
    // Only COM1..COM9 are known to the open call by their plain names; every COM port is found
    // in the device namespace, COM10 and above only there.
    const bool comPort = port.size() > 3 && port.size() <= 6 &&
                         _strnicmp(port.c_str(), "COM", 3) == 0 &&
                         port.find_first_not_of("0123456789", 3) == std::string::npos;
    return comPort ? "\\\\.\\" + port : port;
}

}  // namespace host
