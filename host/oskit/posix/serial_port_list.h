// The serial ports of a Linux machine as sysfs and udev describe them. The folders are arguments
// so that the reading can be checked against a made-up tree.
#pragma once

#include <string>
#include <vector>

#include "host/oskit/system_text.h"

namespace host {

// The ports under `ttyClassDir` (/sys/class/tty), with the stable names that the links of
// `byIdDir` (/dev/serial/by-id) give them, sorted by name. A tty without a device behind it (a
// virtual console, a pseudo-terminal) and a legacy port slot without hardware are left out.
std::vector<SerialPortInfo> ListSerialPortsIn(const std::string& ttyClassDir,
                                              const std::string& byIdDir);

}  // namespace host
