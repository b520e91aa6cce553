// The poll subcommand: registers of stations read in cycles, with a summary of the answers and
// latencies at the end. A line that is lost is reopened with a growing pause between attempts.
#include <algorithm>
#include <chrono>
#include <cstdio>

#include "host/client/error_outcomes.h"
#include "tools/ctl/command_support.h"
#include "tools/ctl/interrupt.h"
#include "tools/ctl/poll_output.h"

namespace ctl {
namespace {

using Clock = std::chrono::steady_clock;

// True when a reading failed because the port itself failed: the driver's "cannot open or use
// the port", or a system error it passed on. The device went away or the other end is gone.
bool LineFailed(const qm4720::Reading& reading) {
    // Only the driver's own failures; the library's (the driver gave no reason) are not the line's.
    if (reading.ok() || reading.error.driverText.empty()) return false;
    const auto code = static_cast<std::int32_t>(reading.error.code);
    if (code == contract::kErrorOpen) return true;
    return std::none_of(std::begin(host::kErrorOutcomes), std::end(host::kErrorOutcomes),
                        [&](const host::ErrorOutcome& e) { return e.code == code; });
}

// The state of the line across cycles: open, or lost and waiting for the next attempt to reopen
// it. Each change is said once on stderr.
class LineKeeper {
public:
    LineKeeper(LineSession& line, const std::string& port) : line_(line), port_(port) {}

    bool lost() const { return lost_; }
    int losses() const { return losses_; }

    void Lose(const std::string& reason) {
        lost_ = true;
        ++losses_;
        reason_ = reason;
        pause_ = std::chrono::seconds(1);
        nextTry_ = Clock::now() + pause_;
        line_.Close();
        Diagnose("line " + port_ + " lost: " + reason +
                 "; reopening it in 1 s, then at growing intervals up to 30 s");
    }

    // While lost, tries to reopen the line once its pause has passed. True when it is open.
    bool TryReopen() {
        if (!lost_) return true;
        if (Clock::now() < nextTry_) return false;
        std::string error;
        if (line_.Open(error)) {
            lost_ = false;
            Diagnose("line " + port_ + " reopened");
            return true;
        }
        reason_ = error;
        std::replace(reason_.begin(), reason_.end(), '\n', ';');
        pause_ = std::min<Clock::duration>(pause_ * 2, std::chrono::seconds(30));
        nextTry_ = Clock::now() + pause_;
        return false;
    }

    // The error of a reading not made while the line is lost.
    std::string LostError() const {
        const auto wait = std::chrono::ceil<std::chrono::seconds>(nextTry_ - Clock::now()).count();
        return "line lost (" + reason_ + "); next attempt to reopen it in " +
               std::to_string(std::max<long long>(wait, 0)) + " s";
    }

private:
    LineSession& line_;
    const std::string& port_;
    bool lost_ = false;
    int losses_ = 0;
    std::string reason_;
    Clock::duration pause_{};
    Clock::time_point nextTry_{};
};

}  // namespace

int RunPoll(const Options& options) {
    std::vector<int> stations;
    std::string error;
    if (!ParseStationList(options.stations, stations, error)) {
        Diagnose(error);
        return kExitUsage;
    }
    if (options.wide && options.format != Format::kCsv) {
        Diagnose("poll --wide: one row a cycle is a CSV shape; use --format csv");
        return kExitUsage;
    }
    int status = kExitOk;
    std::vector<qm4720::Register> registers;
    const auto line = OpenLineSession(options, status, [&](qm4720::Driver& driver) {
        return ResolveRegisters(driver, options, registers);
    });
    if (!line) return status;

    const auto out = MakePollOutput(options, stations, registers);
    LineKeeper keeper(*line, options.line.port);
    int answers = 0, timeouts = 0, replyErrors = 0, otherErrors = 0, retried = 0;
    std::vector<double> latencies;
    const auto period = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(options.intervalSeconds));
    auto next = Clock::now();
    for (int cycle = 0; options.count == 0 || cycle < options.count; ++cycle) {
        if (cycle > 0 && !WaitUntil(next)) break;
        // While the line is lost a cycle only says so: at most one a second, however short the
        // interval.
        next += keeper.lost() ? std::max<Clock::duration>(period, std::chrono::seconds(1)) : period;
        const std::uint64_t cycleTime = NowFileTime();
        bool complete = true;
        for (int station : stations) {
            for (const qm4720::Register& reg : registers) {
                if (Interrupted()) {
                    complete = false;
                    break;
                }
                // Member by member: GCC's Windows Release build takes the empty braces of the
                // reading for a string that may be used uninitialized.
                PollSample sample;
                sample.station = station;
                sample.reg = &reg;
                sample.attemptTime = NowFileTime();
                if (keeper.TryReopen()) {
                    sample.reading =
                        ReadWithRetries(line->driver(), options, station, reg, retried);
                    if (LineFailed(sample.reading)) keeper.Lose(sample.reading.error.driverText);
                } else {
                    const std::string lost = keeper.LostError();
                    sample.reading.error = {qm4720::ErrorCode::kOpen, lost, {}, lost};
                }
                const qm4720::Reading& r = sample.reading;
                sample.status = ReadingOutcome(r);
                sample.error = r.ok() ? "" : r.error.driverText;
                if (!keeper.lost()) latencies.push_back(r.latency.count());
                if (r.ok())
                    ++answers;
                else if (sample.status == "timeout")
                    ++timeouts;
                else if (sample.status == "reply-error")
                    ++replyErrors;
                else
                    ++otherErrors;
                out->Sample(sample);
            }
        }
        out->EndCycle(cycleTime, complete);
        if (Interrupted()) break;
    }
    out->Finish();
    std::sort(latencies.begin(), latencies.end());
    std::string summary = std::to_string(answers) + " answer(s), " + std::to_string(timeouts) +
                          " timeout(s), " + std::to_string(replyErrors) + " reply error(s), " +
                          std::to_string(otherErrors) + " other error(s), " +
                          std::to_string(retried) + " retry(ies)";
    if (keeper.losses() > 0)
        summary += "; line lost " + std::to_string(keeper.losses()) + " time(s)";
    if (!latencies.empty()) {
        char text[96];
        std::snprintf(text, sizeof text, "; latency min %.1f / median %.1f / max %.1f ms",
                      latencies.front(), latencies[latencies.size() / 2], latencies.back());
        summary += text;
    }
    std::fprintf(stderr, "%s\n", summary.c_str());
    if (Interrupted()) return kExitInterrupted;
    return timeouts + replyErrors + otherErrors == 0 ? kExitOk : kExitFailure;
}

}  // namespace ctl
