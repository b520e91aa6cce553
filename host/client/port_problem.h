// The port a user named as the driver is to open it, and why a serial port cannot be opened, in
// the operating system's terms: the driver itself says only that opening failed, so a host looks
// at the device again after the driver gave up.
#pragma once

#include <string>

namespace host {

// One line saying why `port` cannot be opened and what to do about it, from the system's own
// check of the device: it does not exist, this user may not open it (with the group to join),
// or another process holds it (named with its process id when this user may see it). Empty when
// the device opens now or the system gives no reason.
std::string PortOpenProblem(const std::string& port);

// The name under which the platform's open call finds the port a user named: on Windows a COM
// port gets the device prefix ("COM12" -> "\\.\COM12"), without which COM10 and above cannot be
// opened; on Linux the device path as given, or, when it is longer than the driver's 31
// characters, the device a link of that name points at (/dev/serial/by-id/... -> /dev/ttyUSB0).
std::string PortDeviceName(const std::string& port);

}  // namespace host
