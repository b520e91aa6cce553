// The terminal flags of a serial line's settings on Linux, apart from opening the device, so
// that they can be checked directly.
#pragma once

#include <termios.h>

#include "host/oskit/serial_line.h"

namespace host {

// Sets `tio` raw (no echo, no line editing, no translation, no flow control) with the data bits,
// parity and stop bits of `settings`; false when the baud rate is not one the terminal interface
// can set.
bool ApplyLineSettings(const LineSettings& settings, termios& tio);

// The baud, data bits, parity and stop bits of `tio`; false for a speed outside the table.
bool ReadLineSettings(const termios& tio, LineSettings& settings);

}  // namespace host
