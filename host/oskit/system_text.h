// The host programs' view of the terminal and the machine: the driver's GBK messages as UTF-8,
// whether output goes to a terminal, the local time zone, and the serial ports of this machine.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace host {

// Converts a GBK text of the driver to UTF-8 for the terminal. A byte that is not GBK shows as
// '?' rather than ending the text.
std::string GbkToUtf8(std::string_view gbk);

// True when standard output is an interactive terminal.
bool StdoutIsTerminal();

// The size of the terminal on standard output in character cells; false when it is not a
// terminal or the system does not say.
bool StdoutTerminalSize(int& columns, int& rows);

// The local time's distance from UTC at `unixSeconds`, in minutes east of Greenwich (60 for
// Central European winter time), as the system's time-zone settings give it.
int LocalUtcOffsetMinutes(long long unixSeconds);

// One serial port of this machine, with what the system knows of it.
struct SerialPortInfo {
    std::string name;       // what OpenPort takes: /dev/ttyUSB0, COM3
    std::string driver;     // kernel or system driver, if known
    std::string usbVendor;  // USB vendor and product identifiers, if a USB adapter
    std::string usbProduct;
    std::string description;   // manufacturer / product text, if known
    std::string serialNumber;  // the adapter's serial number, if it has one
    // Names that stay with the adapter whichever port number it gets (on Linux the links of
    // /dev/serial/by-id), full paths that OpenPort takes as well; empty when there are none.
    std::vector<std::string> stableNames;
};

// The ports of this machine, sorted by name on Linux; empty when none are found.
std::vector<SerialPortInfo> ListSerialPorts();

// The name under which the platform's open call finds the port a user named: on Windows a COM
// port gets the device prefix ("COM12" -> "\\.\COM12"), without which COM10 and above cannot be
// opened; on Linux the device path as given, or, when it is longer than the driver's 31
// characters, the device a link of that name points at (/dev/serial/by-id/... -> /dev/ttyUSB0).
std::string PortDeviceName(const std::string& port);

}  // namespace host
