// The subcommands that talk to stations on a line: read and write.
#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>

#include "host/oskit/system_text.h"
#include "contract/meter_values.h"
#include "tools/ctl/command_support.h"
#include "tools/ctl/interrupt.h"

namespace ctl {
int RunRead(const Options& options) {
    int station = 0;
    if (!ParseOneStation(options, "read", station)) return kExitUsage;
    int status = kExitOk;
    std::vector<qm4720::Register> registers;
    const auto line = OpenLineSession(options, status, [&](qm4720::Driver& driver) {
        return ResolveRegisters(driver, options, registers);
    });
    if (!line) return status;
    RecordWriter out(options.format, ReadingColumns());
    bool allOk = true;
    int retried = 0;
    for (const qm4720::Register& reg : registers) {
        if (Interrupted()) break;
        const std::uint64_t attempt = NowFileTime();
        const qm4720::Reading reading =
            ReadWithRetries(line->driver(), options, station, reg, retried);
        allOk = allOk && reading.ok();
        out.Row(ReadingCells(options, station, reg, reading, true, attempt, ValueCell(reading),
                             ReadingOutcome(reading), reading.error.driverText));
        if (!reading.ok()) ReportDriverFailure("read " + reg.mnemonic, reading.error);
    }
    out.Finish();
    if (options.retries > 0) std::fprintf(stderr, "%d retry(ies)\n", retried);
    if (Interrupted()) return kExitInterrupted;
    return allOk ? kExitOk : kExitFailure;
}

int RunWrite(const Options& options) {
    int station = 0;
    if (!ParseOneStation(options, "write", station)) return kExitUsage;
    struct Assignment {
        qm4720::Register reg;
        double value;  // as typed
        double sent;   // as the field carries it
    };
    std::vector<Assignment> assignments;
    auto check = [&](qm4720::Driver& driver) {
        for (const std::string& text : options.registers) {
            const std::size_t equals = text.find('=');
            double value = 0;
            const char* begin = text.c_str() + (equals == std::string::npos ? 0 : equals + 1);
            const char* end = text.c_str() + text.size();
            const auto parsed = std::from_chars(begin, end, value);
            if (equals == std::string::npos || parsed.ec != std::errc() || parsed.ptr != end ||
                !std::isfinite(value)) {
                Diagnose("write: expected REGISTER=NUMBER such as SP=120.5, got '" + text + "'");
                return false;
            }
            auto reg = ResolveRegister(driver, options, text.substr(0, equals));
            if (!reg) return false;
            if (reg->readOnly) {
                Diagnose("write: " + reg->mnemonic + " is a read-only register of the meter");
                return false;
            }
            const contract::WriteFit fit =
                contract::FitWrite(static_cast<std::uint16_t>(reg->type), value);
            if (!fit.sent) {
                Diagnose("write: " + reg->mnemonic + " is " + std::string(fit.refusal) + ", got '" +
                         text.substr(equals + 1) + "'");
                return false;
            }
            const std::optional<double> sent = fit.sent;
            // Compared as printed: 0.1 becomes the float nearest it, which still prints 0.1.
            if (NumberText(*sent) != NumberText(value)) {
                Diagnose("write " + reg->mnemonic + ": " + NumberText(value) + " is sent as " +
                         NumberText(*sent) + " (the meter's field has six characters)");
            }
            assignments.push_back({*reg, value, *sent});
        }
        return true;
    };
    int status = kExitOk;
    const auto line = OpenLineSession(options, status, check);
    if (!line) return status;
    qm4720::Driver& driver = line->driver();
    std::vector<std::string> columns = ReadingColumns();
    columns.push_back("requested");
    columns.push_back("read_back");
    RecordWriter out(options.format, std::move(columns));
    bool allOk = true;
    for (const Assignment& a : assignments) {
        if (Interrupted()) break;
        const std::uint64_t attempt = NowFileTime();
        // Read back here rather than by Write's own check, to tell a failed read back from a
        // value that differs.
        const qm4720::Reading written = driver.Write(station, a.reg.mnemonic, a.sent);
        Cell readBack = Cell::Null();
        std::string outcome = written.ok() ? "ok" : std::string(ReadingOutcome(written));
        std::string failure = written.error.driverText;
        if (written.error.code == qm4720::ErrorCode::kRefused) {
            failure = "the meter refused the value (NAK)";
            outcome = "refused";
            Diagnose("write " + a.reg.mnemonic + ": " + failure);
        } else if (!written.ok()) {
            ReportDriverFailure("write " + a.reg.mnemonic, written.error);
        } else if (options.verify) {
            const qm4720::Reading back = driver.Read(station, a.reg.mnemonic);
            if (!back.ok()) {
                outcome = "unverified";
                failure = back.error.driverText;
                ReportDriverFailure("read back " + a.reg.mnemonic, back.error);
            } else {
                readBack = Cell::Number(back.value);
                // Against what was sent, not what was typed.
                if (!contract::ReadBackMatches(back.value, a.sent)) {
                    outcome = "mismatch";
                    failure = "read back " + NumberText(back.value);
                    Diagnose("write " + a.reg.mnemonic + ": read back " + NumberText(back.value) +
                             ", not the " + NumberText(a.sent) + " sent");
                } else {
                    outcome = "verified";
                }
            }
        }
        const bool good = outcome == "ok" || outcome == "verified";
        allOk = allOk && good;
        std::vector<Cell> cells = ReadingCells(options, station, a.reg, written, false, attempt,
                                               Cell::Number(a.sent), outcome, failure);
        cells.push_back(Cell::Number(a.value));
        cells.push_back(readBack);
        out.Row(cells);
    }
    out.Finish();
    if (Interrupted()) return kExitInterrupted;
    return allOk ? kExitOk : kExitFailure;
}

}  // namespace ctl
