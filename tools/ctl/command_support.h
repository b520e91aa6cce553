// What the subcommands of qm4720ctl share: diagnostics on stderr, loading the driver, opening
// the line (with the --trace pass-through), resolving registers and stations, and cell texts.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "qm4720/qm4720.hpp"
#include "tools/ctl/commands.h"
#include "tools/ctl/output.h"

namespace ctl {

// "qm4720ctl: <text>" on stderr.
void Diagnose(const std::string& text);

// "<context>: <the driver's text on one line> (<the English gloss of its code>)"; "failed" when the
// driver gave no text.
void ReportDriverFailure(const std::string& context, const qm4720::Error& error);

// The driver of the command, loaded for the model of the options; null (reported, `status` set)
// when the module cannot be loaded or the driver object made.
std::unique_ptr<qm4720::Driver> LoadDriver(const Options& options, int& status);

// Points stdout at --output's file, when there is one. Called once every check of the command has
// passed, so that a refused command leaves the file as it was. False (reported, `status` set)
// when the file cannot be written.
bool RedirectOutput(const Options& options, int& status);

// A driver with its port open, for the commands that talk to stations.
class LineSession {
public:
    // `line` is opened on the port of `options`, named again at each Open.
    LineSession(std::unique_ptr<qm4720::Driver> driver, const Options& options,
                const qm4720::LineSettings& line);
    ~LineSession();
    LineSession(const LineSession&) = delete;
    LineSession& operator=(const LineSession&) = delete;

    qm4720::Driver& driver() { return *driver_; }

    // Opens the port (with --trace, through a new pass-through). False with `error` set to the
    // driver's message and, on a line of its own, the system's reason; nothing is printed.
    bool Open(std::string& error);
    // Closes the port and the pass-through; Open may follow.
    void Close();

private:
    const Options& options_;
    qm4720::LineSettings line_;
    std::unique_ptr<qm4720::Driver> driver_;
};

// The start of every command that talks to stations: loads the driver, runs `check` on it (the
// command's own checks, which report what they refuse), checks the line's options, points stdout
// at --output and opens the port. Null with `status` set, and the reason reported, when any step
// fails: 3 for the module, 2 for a check, 1 for the port.
std::unique_ptr<LineSession> OpenLineSession(
    const Options& options, int& status, const std::function<bool(qm4720::Driver&)>& check = {});

// Every register of the command line, in order; false (reported, with the upper-case name when
// that is what was meant) at the first one refused: a usage error.
bool ResolveRegisters(const qm4720::Driver& driver, const Options& options,
                      std::vector<qm4720::Register>& registers);
std::optional<qm4720::Register> ResolveRegister(const qm4720::Driver& driver,
                                                const Options& options, const std::string& text);

// The one station of read and write; false (reported) when --station is not one number 0..99.
bool ParseOneStation(const Options& options, const char* command, int& station);

// The value of a reading, or null when it failed.
Cell ValueCell(const qm4720::Reading& reading);

// "ok", or the outcome word of the reading's failure: "timeout", "reply-error" or "error".
std::string_view ReadingOutcome(const qm4720::Reading& reading);

// Reads `reg` of `station`, and again up to options.retries times while it fails or until Ctrl-C;
// `retried` grows by the further attempts made. The latency is that of all attempts together.
qm4720::Reading ReadWithRetries(qm4720::Driver& driver, const Options& options, int station,
                                const qm4720::Register& reg, int& retried);

// The columns of every reading (read, poll, and write before its own columns), in every format:
// time, station, register, type, value, quality, status, latency_ms, error.
std::vector<std::string> ReadingColumns();

// One reading's cells in ReadingColumns' order. A good read (`stamped`) shows the driver's time
// and quality; otherwise `attemptTime` (a file time, when the exchange started) stands and the
// quality is empty. `value` is the reading's own value for reads and the value sent for writes;
// `error` is empty when there is none.
std::vector<Cell> ReadingCells(const Options& options, int station, const qm4720::Register& reg,
                               const qm4720::Reading& reading, bool stamped,
                               std::uint64_t attemptTime, Cell value, std::string_view status,
                               const std::string& error);

// `text` in green (good) or red, when the options ask for colour.
std::string Colored(const Options& options, std::string_view text, bool good);

}  // namespace ctl
