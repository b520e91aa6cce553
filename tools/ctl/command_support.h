// What the subcommands of qm4720ctl share: diagnostics on stderr, creating the driver, opening
// the line (with the --trace pass-through), resolving registers and stations, and cell texts.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/driver_session.h"
#include "host/line_tap.h"
#include "tools/ctl/commands.h"
#include "tools/ctl/output.h"

namespace ctl {

// "qm4720ctl: <text>" on stderr.
void Diagnose(const std::string& text);

// The driver's message (UTF-8) on one line, then the English gloss of its DriverError `code`.
void ReportDriverFailure(const std::string& context, const std::string& message, std::int32_t code);

// The driver session of the command; null (reported, `status` set) when it cannot be created.
std::unique_ptr<host::DriverSession> Session(const Options& options, int& status);

// Opens the port of the options; with --trace through a pass-through in `tap`, which must outlive
// the session's use of the port. False (reported, `status` set) when it cannot.
bool OpenLine(host::DriverSession& session, const Options& options,
              std::unique_ptr<host::LineTap>& tap, int& status);

// Every register of the command line, in order; false (reported, with the upper-case name when
// that is what was meant) at the first one refused: a usage error.
bool ResolveRegisters(host::DriverSession& session, const Options& options,
                      std::vector<host::RegisterRef>& registers);
std::optional<host::RegisterRef> ResolveRegister(host::DriverSession& session,
                                                 const Options& options, const std::string& text);

// The one station of read and write; false (reported) when --station is not one number 0..99.
bool ParseOneStation(const Options& options, const char* command, int& station);

// "BIT", "INT", "FLOAT", ... for a DataType; "?" for anything else.
const char* TypeName(std::uint16_t type);

// The value of a reading, or null when it failed.
Cell ValueCell(const host::Reading& reading);

// Reads `reg` of `station`, and again up to options.retries times while it fails or until Ctrl-C;
// `retried` grows by the further attempts made. The latency is that of all attempts together.
host::Reading ReadWithRetries(host::DriverSession& session, const Options& options, int station,
                              const host::RegisterRef& reg, int& retried);

// The columns of every reading (read, poll, and write before its own columns), in every format:
// time, station, register, type, value, quality, status, latency_ms, error.
std::vector<std::string> ReadingColumns();

// One reading's cells in ReadingColumns' order. `attemptTime` is when the exchange started; it
// stands when the driver stamped no time (a failure, a write). `value` is the reading's own value
// for reads and the value sent for writes; `error` is empty when there is none.
std::vector<Cell> ReadingCells(const Options& options, int station, const host::RegisterRef& reg,
                               const host::Reading& reading, const std::string& attemptTime,
                               Cell value, std::string_view status, const std::string& error);

// `text` in green (good) or red, when the options ask for colour.
std::string Colored(const Options& options, std::string_view text, bool good);

}  // namespace ctl
