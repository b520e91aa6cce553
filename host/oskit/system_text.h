// The host programs' view of the terminal and the machine: whether output goes to a terminal, the
// local time zone, and the serial ports of this machine.
#pragma once

#include <string>
#include <vector>

namespace host {

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

}  // namespace host
