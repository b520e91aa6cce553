// Line settings of a real serial device, and opening one in raw mode with those settings.
#pragma once

#include <termios.h>

#include <string>
#include <string_view>

namespace tooling {

enum class Parity { kNone, kOdd, kEven, kMark, kSpace };

struct LineSettings {
    int baud = 9600;
    int dataBits = 8;  // 5..8
    Parity parity = Parity::kNone;
    int stopBits = 1;  // 1 or 2
};

// "none", "odd", "even", "mark", "space" (lower case); false for anything else.
bool ParseParity(std::string_view text, Parity& parity);
std::string_view ParityName(Parity parity);

// True when `baud` is one of the rates the terminal interface can set.
bool IsSupportedBaud(int baud);

// Sets `tio` raw (no echo, no line editing, no translation) with the data bits, parity and stop
// bits of `settings`; false when the baud rate is not one the terminal interface can set.
bool ApplyLineSettings(const LineSettings& settings, termios& tio);

// Opens `path` for reading and writing, non-blocking, without making it the controlling terminal,
// and puts it in raw mode with `settings`. Returns the descriptor, or -1 with `error` describing
// what failed (the system's message included).
int OpenSerialDevice(const std::string& path, const LineSettings& settings, std::string& error);

// Writes all of `size` bytes to a descriptor that may be non-blocking, waiting for room as needed.
// False when the descriptor fails (the peer went away for good).
bool WriteAll(int fd, const void* data, std::size_t size);

}  // namespace tooling
