// Serial lines for the host programs (the simulator, the host program's line trace): a real serial
// device opened with its line settings, a new pseudo-terminal where the system has them, waiting
// for input on several lines at once, and a stop request that Ctrl-C and the termination signals
// raise. The driver module never links it: it has its own serial port code.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

namespace host {

enum class Parity { kNone, kOdd, kEven, kMark, kSpace };

struct LineSettings {
    int baud = 9600;
    int dataBits = 8;  // 5..8
    Parity parity = Parity::kNone;
    int stopBits = 1;  // 1 or 2
};

// "none", "odd", "even", "mark", "space" (lower case); false for anything else.
inline bool ParseParity(std::string_view text, Parity& parity) {
    constexpr struct {
        std::string_view name;
        Parity parity;
    } kNames[] = {{"none", Parity::kNone},
                  {"odd", Parity::kOdd},
                  {"even", Parity::kEven},
                  {"mark", Parity::kMark},
                  {"space", Parity::kSpace}};
    for (const auto& entry : kNames) {
        if (entry.name == text) {
            parity = entry.parity;
            return true;
        }
    }
    return false;
}

inline std::string_view ParityName(Parity parity) {
    switch (parity) {
        case Parity::kNone:
            return "none";
        case Parity::kOdd:
            return "odd";
        case Parity::kEven:
            return "even";
        case Parity::kMark:
            return "mark";
        case Parity::kSpace:
            return "space";
    }
    return "none";
}

// True when a real device can be set to `baud` by this system's serial interface.
bool IsSupportedBaud(int baud);

// A request to stop, raised by another thread or, once bound with RaiseOnTerminationSignals, by
// Ctrl-C and the termination signals. Every wait of this interface ends as soon as it is raised.
class StopSignal {
public:
    StopSignal();
    ~StopSignal();
    StopSignal(const StopSignal&) = delete;
    StopSignal& operator=(const StopSignal&) = delete;

    // False when the system refused what the signal needs to wake a wait.
    bool ok() const;
    // Safe from any thread and from a signal handler.
    void Raise();
    bool Raised() const;

    struct Native;  // the system's own part, defined by the platform
    Native& native() const { return *native_; }

private:
    std::unique_ptr<Native> native_;
};

// Makes SIGINT and SIGTERM (on Windows: Ctrl-C, Ctrl-Break and closing the console) raise `stop`
// instead of ending the program, and makes a write to a line whose reader went away fail instead
// of ending it. Only one StopSignal is bound at a time. False when the handlers cannot be set up.
bool RaiseOnTerminationSignals(StopSignal& stop);

// Makes Ctrl-C (SIGINT, and on Linux SIGTERM and SIGHUP too; on Windows the Ctrl-C console
// event) raise `stop` instead of ending the program; every other signal keeps its default, so a
// program whose output pipe closes still ends, quietly. For programs that finish their current step
// and report (qm4720ctl). Only one StopSignal is bound at a time, by this or by
// RaiseOnTerminationSignals. False when the handler cannot be set.
bool RaiseOnInterrupt(StopSignal& stop);

// One end of a serial line: a real device, or the program's own side of a pseudo-terminal.
class SerialLine {
public:
    struct Native;  // the system's own part, defined by the platform
    explicit SerialLine(std::unique_ptr<Native> native);
    ~SerialLine();
    SerialLine(const SerialLine&) = delete;
    SerialLine& operator=(const SerialLine&) = delete;

    // The bytes that have arrived, up to `buffer.size()`, without waiting: their count, 0 when
    // none are there yet, or -1 with `error` set when the line failed for good (end of file, the
    // device went away).
    long Read(std::span<std::uint8_t> buffer, std::string& error);

    // Writes all of `bytes`, waiting for room as needed. False when the line fails or takes
    // nothing for several seconds (the peer is not coming back).
    bool WriteAll(std::span<const std::uint8_t> bytes);

    Native& native() const { return *native_; }

private:
    std::unique_ptr<Native> native_;
};

// Opens the serial device `path` (/dev/ttyUSB0, COM3) for reading and writing in raw mode with
// `settings`: no echo, no line editing, no translation, no flow control. Null with `error` saying
// what failed (the system's message included).
std::unique_ptr<SerialLine> OpenSerialLine(const std::string& path, const LineSettings& settings,
                                           std::string& error);

// A new pseudo-terminal: the program keeps `line()`, and another program opens `path()` as if it
// were a serial port. Only where the system has pseudo-terminals (Linux). Its line settings are
// the kernel's defaults for a new terminal, as a real port's are, so that the program on the
// other end has to set its line up itself; made raw only when asked for (OpenPseudoTerminal).
class PseudoTerminal {
public:
    struct Native;  // the system's own part, defined by the platform
    explicit PseudoTerminal(std::unique_ptr<Native> native);
    ~PseudoTerminal();
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;

    // The program's side of the pair.
    SerialLine& line();
    // The device path the other program opens.
    const std::string& path() const;

    // Also makes `linkPath` a symbolic link to the device, replacing an older symbolic link of
    // that name (a leftover of an earlier run) but never a file of any other kind. The link is
    // removed again when the terminal goes, if it still points to this terminal.
    bool MakeLink(const std::string& linkPath, std::string& error);

    // The line settings that the other program gave the terminal (baud, data bits, parity, stop
    // bits), as the terminal holds them now; false where they cannot be read.
    bool SettingsNow(LineSettings& settings) const;

private:
    std::unique_ptr<Native> native_;
};

// "4800,8E1": a line's settings as a short text.
inline std::string LineSettingsText(const LineSettings& settings) {
    const char parity = static_cast<char>(ParityName(settings.parity)[0] - 'a' + 'A');
    return std::to_string(settings.baud) + "," + std::to_string(settings.dataBits) + parity +
           std::to_string(settings.stopBits);
}

// How the terminal's settings start.
enum class PtySettings {
    kKernelDefaults,  // echo, line editing, XON/XOFF, CR/LF translation: what a new port has
    kRaw,             // for programs on the other end that never set their line up
};

// Opens a new pseudo-terminal; null with `error` set when the system refuses or has none.
std::unique_ptr<PseudoTerminal> OpenPseudoTerminal(
    std::string& error, PtySettings settings = PtySettings::kKernelDefaults);

enum class WaitEnd {
    kInput,    // a line of `ready` has bytes to read or has failed (its Read tells which)
    kTimeout,  // the time passed first
    kStopped,  // the stop signal was raised
    kFailed,   // the wait itself failed
};

struct WaitResult {
    WaitEnd end = WaitEnd::kTimeout;
    unsigned ready = 0;  // bit i set: lines[i] is to be read
};

// Waits until one of `lines` (at most 16) has input, `stop` is raised, or `timeoutMs` passes
// (-1: no limit). With no lines it is a pause that a stop ends early.
WaitResult WaitForInput(std::span<SerialLine* const> lines, const StopSignal& stop, int timeoutMs);

// Sleeps until `when` on the monotonic clock, to within about a millisecond.
void SleepUntil(std::chrono::steady_clock::time_point when);

}  // namespace host
