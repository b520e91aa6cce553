// The poll subcommand: registers of stations read in cycles, as a live table on a terminal or
// as records, with a summary of the answers and latencies at the end.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>

#include "host/system_text.h"
#include "tools/ctl/command_support.h"
#include "tools/ctl/interrupt.h"
#include "tools/ctl/outcomes.h"

namespace ctl {

int RunPoll(const Options& options) {
    std::vector<int> stations;
    std::string error;
    if (!ParseStationList(options.stations, stations, error)) {
        Diagnose(error);
        return kExitUsage;
    }
    if (options.intervalSeconds < 0 || options.count < 0) {
        Diagnose("poll: --interval and --count must not be negative");
        return kExitUsage;
    }
    int status = kExitOk;
    std::unique_ptr<host::LineTap> tap;  // the --trace pass-through outlives the session
    auto session = Session(options, status);
    if (!session) return status;
    std::vector<host::RegisterRef> registers;
    if (!ResolveRegisters(*session, options, registers)) return kExitUsage;
    if (!OpenLine(*session, options, tap, status)) return status;

    const bool live = host::StdoutIsTerminal() && options.format == Format::kText;
    std::unique_ptr<RecordWriter> out;
    if (!live) {
        out = std::make_unique<RecordWriter>(
            options.format == Format::kText ? Format::kCsv : options.format, ReadingColumns());
    }
    int answers = 0, timeouts = 0, replyErrors = 0, otherErrors = 0, retried = 0;
    std::vector<double> latencies;
    std::vector<std::string> lastLines;
    const auto period = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(options.intervalSeconds));
    auto next = std::chrono::steady_clock::now();
    for (int cycle = 0; options.count == 0 || cycle < options.count; ++cycle) {
        if (cycle > 0 && !WaitUntil(next)) break;
        next += period;
        std::vector<std::string> lines;
        for (int station : stations) {
            for (const host::RegisterRef& reg : registers) {
                if (Interrupted()) break;
                const std::string attempt = NowIso();
                const host::Reading r = ReadWithRetries(*session, options, station, reg, retried);
                latencies.push_back(r.latencyMs);
                const std::string outcome(Outcome(r));
                if (r.ok)
                    ++answers;
                else if (outcome == "timeout")
                    ++timeouts;
                else if (outcome == "reply-error")
                    ++replyErrors;
                else
                    ++otherErrors;
                const std::string time = r.ok ? FileTimeIso(r.fileTime) : attempt;
                if (live) {
                    char line[160];
                    std::snprintf(line, sizeof line, "%-24s %7d  %-4s %12s  %-11s %7.1f ms",
                                  time.c_str(), station, reg.mnemonic.c_str(),
                                  r.ok ? NumberText(r.value).c_str() : "-",
                                  Colored(options, outcome, r.ok).c_str(), r.latencyMs);
                    lines.push_back(line);
                } else {
                    out->Row(ReadingCells(options, station, reg, r, attempt, ValueCell(r), outcome,
                                          r.ok ? "" : r.error));
                }
            }
        }
        if (live) {
            // Redraw the table in place: back over the previous cycle's lines.
            if (!lastLines.empty()) std::printf("\x1b[%zuA", lastLines.size() + 1);
            std::printf("\x1b[K%-24s %7s  %-4s %12s  %-11s %10s\n", "time", "station", "reg",
                        "value", "status", "latency");
            for (const std::string& line : lines) std::printf("\x1b[K%s\n", line.c_str());
            std::fflush(stdout);
            lastLines = lines;
        }
        if (Interrupted()) break;
    }
    if (out) out->Finish();
    std::sort(latencies.begin(), latencies.end());
    if (!latencies.empty()) {
        std::fprintf(stderr,
                     "%d answer(s), %d timeout(s), %d reply error(s), %d other error(s), %d "
                     "retry(ies); latency min %.1f / median %.1f / max %.1f ms\n",
                     answers, timeouts, replyErrors, otherErrors, retried, latencies.front(),
                     latencies[latencies.size() / 2], latencies.back());
    }
    if (Interrupted()) return kExitInterrupted;
    return timeouts + replyErrors + otherErrors == 0 ? kExitOk : kExitFailure;
}

}  // namespace ctl
