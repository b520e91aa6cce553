// The Linux parts of the host library's serial lines, shared by their implementation files: a
// line is a descriptor, and a stop signal is a flag and a pipe that every wait polls.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "host/oskit/serial_line.h"

namespace host {

struct StopSignal::Native {
    int pipe[2] = {-1, -1};
    std::atomic<bool> raised{false};
};

struct SerialLine::Native {
    int fd = -1;
};

struct PseudoTerminal::Native {
    std::unique_ptr<SerialLine> master;
    // Held open for the life of the pair: while any slave descriptor is open, the master reads
    // no end-of-file and loses no bytes when the other program closes and reopens the port.
    int slave = -1;
    std::string slavePath;
    std::string linkPath;
};

// A line on the open descriptor `fd`, which it then owns.
std::unique_ptr<SerialLine> LineOnDescriptor(int fd);

}  // namespace host
