// A new pseudo-terminal in raw mode: the program keeps the master side, and another program opens
// the slave side by its path as if it were a serial port.
#pragma once

#include <string>

namespace tooling {

class Pty {
public:
    Pty() = default;
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;
    ~Pty();

    // Opens the pair and sets the slave side raw (8 data bits, no echo, no line editing, no
    // translation). False with `error` set when the system refuses.
    bool Open(std::string& error);

    // Also makes `linkPath` a symbolic link to the slave device, replacing an older symbolic link
    // of that name (a leftover of an earlier run) but never a file of any other kind. The link is
    // removed again when the object goes, if it still points to this terminal.
    bool MakeLink(const std::string& linkPath, std::string& error);

    int masterFd() const { return master_; }
    const std::string& slavePath() const { return slavePath_; }

private:
    int master_ = -1;
    // Held open for the life of the pair: while any slave descriptor is open, the master reads
    // no end-of-file and loses no bytes when the other program closes and reopens the port.
    int slave_ = -1;
    std::string slavePath_;
    std::string linkPath_;
};

}  // namespace tooling
