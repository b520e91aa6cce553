// The operating system's serial port calls (CreateFileA, SetCommState, PurgeComm, ReadFile,
// WriteFile, ...) with their Windows names, types and error codes. Only the serial code includes
// this header: the rest of the module, and every host that includes the driver's interfaces,
// sees the base types of platform.h and nothing of the port calls. On Windows they are the
// system's own, from <windows.h>; on Linux platform/posix/serial_api.h implements them over the
// terminal interface.
#pragma once

#include "platform/platform.h"

#include <serial_api.h>
