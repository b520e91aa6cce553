// Windows side of platform/serial_calls.h: the serial port calls are the system's own, declared
// by <windows.h>, which platform_native.h has already included.
#pragma once

#include <platform_native.h>
