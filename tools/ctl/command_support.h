// What the subcommands of qm4720ctl share: diagnostics on stderr, creating the driver, opening
// the line (with the --trace pass-through), resolving registers and stations, and cell texts.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/driver_session.h"
#include "host/line_tap.h"
#include "qm4720/qm4720.hpp"
#include "tools/ctl/commands.h"
#include "tools/ctl/output.h"

namespace ctl {

// "qm4720ctl: <text>" on stderr.
void Diagnose(const std::string& text);

// The driver's message (UTF-8) on one line, then the English gloss of its DriverError `code`.
void ReportDriverFailure(const std::string& context, const std::string& message, std::int32_t code);

// The driver session of the command; null (reported, `status` set) when it cannot be created.
std::unique_ptr<host::DriverSession> Session(const Options& options, int& status);

// Points stdout at --output's file, when there is one. Called once every check of the command has
// passed, so that a refused command leaves the file as it was. False (reported, `status` set)
// when the file cannot be written.
bool RedirectOutput(const Options& options, int& status);

// A driver session with its port open, for the commands that talk to stations.
class LineSession {
public:
    // `line` is opened on the port of `options`, named again at each Open.
    LineSession(std::unique_ptr<host::DriverSession> session, const Options& options,
                const qm4720::LineSettings& line);
    ~LineSession();
    LineSession(const LineSession&) = delete;
    LineSession& operator=(const LineSession&) = delete;

    host::DriverSession& session() { return *session_; }
    // The registers of the command line, resolved (read, poll).
    std::vector<host::RegisterRef> registers;

    // Opens the port (with --trace, through a new pass-through). False with `error` set to the
    // driver's message and, on a line of its own, the system's reason; nothing is printed.
    bool Open(std::string& error);
    // Closes the port and the pass-through; Open may follow.
    void Close();

private:
    const Options& options_;
    qm4720::LineSettings line_;
    std::unique_ptr<host::LineTap> tap_;  // before the session: it outlives the port's use
    std::unique_ptr<host::DriverSession> session_;
};

// The start of every command that talks to stations: creates the session, runs `check` on it
// (the command's own checks, which report what they refuse), checks the line's options, points
// stdout at --output and opens the port. Null with `status` set, and the reason reported, when any
// step fails: 3 for the module, 2 for a check, 1 for the port.
std::unique_ptr<LineSession> OpenLineSession(
    const Options& options, int& status,
    const std::function<bool(host::DriverSession&)>& check = {});

// Every register of the command line, in order; false (reported, with the upper-case name when
// that is what was meant) at the first one refused: a usage error.
bool ResolveRegisters(host::DriverSession& session, const Options& options,
                      std::vector<host::RegisterRef>& registers);
std::optional<host::RegisterRef> ResolveRegister(host::DriverSession& session,
                                                 const Options& options, const std::string& text);

// The one station of read and write; false (reported) when --station is not one number 0..99.
bool ParseOneStation(const Options& options, const char* command, int& station);

// The value of a reading, or null when it failed.
Cell ValueCell(const host::Reading& reading);

// Reads `reg` of `station`, and again up to options.retries times while it fails or until Ctrl-C;
// `retried` grows by the further attempts made. The latency is that of all attempts together.
host::Reading ReadWithRetries(host::DriverSession& session, const Options& options, int station,
                              const host::RegisterRef& reg, int& retried);

// The columns of every reading (read, poll, and write before its own columns), in every format:
// time, station, register, type, value, quality, status, latency_ms, error.
std::vector<std::string> ReadingColumns();

// One reading's cells in ReadingColumns' order. `attemptTime` (a file time) is when the exchange
// started; it
// stands when the driver stamped no time (a failure, a write). `value` is the reading's own value
// for reads and the value sent for writes; `error` is empty when there is none.
std::vector<Cell> ReadingCells(const Options& options, int station, const host::RegisterRef& reg,
                               const host::Reading& reading, std::uint64_t attemptTime, Cell value,
                               std::string_view status, const std::string& error);

// `text` in green (good) or red, when the options ask for colour.
std::string Colored(const Options& options, std::string_view text, bool good);

}  // namespace ctl
