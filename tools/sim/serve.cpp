#include "tools/sim/serve.h"

#include <chrono>
#include <cstdio>
#include <map>
#include <span>
#include <vector>

#include "host/oskit/trace.h"
#include "tools/sim/wire.h"

namespace sim {
namespace {

struct Counts {
    std::map<int, std::uint64_t> requestsByStation;
    std::uint64_t requestsElsewhere = 0;
    std::uint64_t dataReplies = 0;
    std::uint64_t acks = 0;
    std::uint64_t naks = 0;
    std::uint64_t unanswered = 0;
    std::uint64_t faultsByKind[kFaultCount] = {};
};

void PrintCounts(const Counts& counts, std::uint64_t seed) {
    std::string line = "requests:";
    bool first = true;
    for (const auto& [station, n] : counts.requestsByStation) {
        line += (first ? " station " : ", station ") + std::to_string(station) + ": " +
                std::to_string(n);
        first = false;
    }
    line += (first ? " " : ", ") + std::string("other stations: ") +
            std::to_string(counts.requestsElsewhere);
    std::fprintf(stderr, "%s: %s\n", kProgram, line.c_str());
    std::fprintf(
        stderr, "%s: replies: %llu (data %llu, ACK %llu, NAK %llu), no answer: %llu\n", kProgram,
        static_cast<unsigned long long>(counts.dataReplies + counts.acks + counts.naks),
        static_cast<unsigned long long>(counts.dataReplies),
        static_cast<unsigned long long>(counts.acks), static_cast<unsigned long long>(counts.naks),
        static_cast<unsigned long long>(counts.unanswered));
    std::uint64_t total = 0;
    std::string detail;
    for (int i = 1; i < kFaultCount; ++i) {
        total += counts.faultsByKind[i];
        if (counts.faultsByKind[i] == 0) continue;
        if (!detail.empty()) detail += ", ";
        detail += std::string(FaultName(static_cast<Fault>(i))) + " " +
                  std::to_string(counts.faultsByKind[i]);
    }
    std::fprintf(stderr, "%s: faults injected: %llu%s\n", kProgram,
                 static_cast<unsigned long long>(total),
                 detail.empty() ? "" : (" (" + detail + ")").c_str());
    std::fprintf(stderr, "%s: seed %llu\n", kProgram, static_cast<unsigned long long>(seed));
}

// One serving run: the requests parsed from the line, each answered as the instruments and the
// fault plan decide, paced as the line's baud rate would deliver it.
class Server {
public:
    Server(host::SerialLine& line, const Options& options, Simulation& simulation,
           const host::StopSignal& stop, const host::PseudoTerminal* terminal)
        : line_(line),
          terminal_(terminal),
          options_(options),
          instrument_(*simulation.instrument),
          faults_(*simulation.faults),
          stop_(stop),
          tracer_(stderr),
          trace_(options.verbose ? &tracer_ : nullptr),
          // A start bit, the data bits, the parity bit if any, the stop bits: 10 at 8N1.
          bitsPerChar_(1 + options.dataBits + (options.parity == "none" ? 0 : 1) +
                       options.stopBits) {
        for (const Station& station : instrument_.stations()) {
            counts_.requestsByStation[station.number()] = 0;  // silent stations show up too
        }
    }

    // Until a stop or a failure of the line; the exit status.
    int Run(std::uint64_t seed) {
        start_ = std::chrono::steady_clock::now();
        instrument_.Start();
        int status = 0;
        host::SerialLine* const lines[1] = {&line_};
        bool failed = false;
        while (!Stopping() && !failed) {
            const host::WaitEnd wait = host::WaitForInput(lines, stop_, -1).end;
            if (wait == host::WaitEnd::kStopped || wait == host::WaitEnd::kFailed) break;
            if (wait != host::WaitEnd::kInput) continue;
            std::uint8_t buffer[256];
            std::string error;
            const long n = line_.Read(buffer, error);
            if (n == 0) continue;
            NoteLineSettings();
            if (n < 0) {
                std::fprintf(stderr, "%s: the line failed: %s\n", kProgram, error.c_str());
                status = 1;
                break;
            }
            for (long i = 0; i < n; ++i) {
                std::optional<Request> request = parser_.Feed(buffer[i]);
                if (!request) continue;
                TraceDiscarded();
                if (!Handle(*request)) {
                    std::fprintf(stderr, "%s: writing to the line failed\n", kProgram);
                    status = 1;
                    failed = true;
                    break;
                }
            }
            TraceDiscarded();
        }
        PrintCounts(counts_, seed);
        if (settingsSeen_) {
            std::fprintf(stderr, "%s: line settings: %s\n", kProgram,
                         host::LineSettingsText(settings_).c_str());
        }
        return status;
    }

private:
    // The settings are the other end's to make: looked at when its bytes come, since a request
    // is sent at the settings it was sent with.
    void NoteLineSettings() {
        host::LineSettings now;
        if (terminal_ == nullptr || !terminal_->SettingsNow(now)) return;
        const std::string text = host::LineSettingsText(now);
        if (settingsSeen_ && text == host::LineSettingsText(settings_)) return;
        settings_ = now;
        settingsSeen_ = true;
        if (options_.verbose) {
            std::fprintf(stderr, "%s: the other end set the line to %s\n", kProgram, text.c_str());
        }
    }

    bool Stopping() const { return stop_.Raised(); }

    // Waits `ms` milliseconds unless a stop is requested first; false when stopping.
    bool Pause(int ms) {
        if (ms <= 0) return !Stopping();
        return host::WaitForInput({}, stop_, ms).end != host::WaitEnd::kStopped;
    }

    // Writes the bytes one character time apart, as a line at the baud rate delivers them. False
    // when the line failed or a stop was requested.
    bool SendPaced(std::span<const std::uint8_t> bytes) {
        const auto charTime = std::chrono::nanoseconds(bitsPerChar_ * 1000000000L / options_.baud);
        auto next = std::chrono::steady_clock::now();
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            if (Stopping()) return false;
            if (!line_.WriteAll(bytes.subspan(i, 1))) return false;
            next += charTime;
            host::SleepUntil(next);
        }
        return !Stopping() || bytes.empty();
    }

    void TraceDiscarded() {
        const std::vector<std::uint8_t> junk = parser_.TakeDiscarded();
        if (trace_ != nullptr && !junk.empty()) {
            trace_->Trace("host>inst", junk, "ignored: no frame");
        }
    }

    // Answers one request; false when writing to the line failed (not when a stop cut it short).
    bool Handle(const Request& request) {
        if (Station* station =
                request.station >= 0 ? instrument_.FindStation(request.station) : nullptr) {
            ++counts_.requestsByStation[station->number()];
        } else {
            ++counts_.requestsElsewhere;
        }
        if (trace_ != nullptr) {
            trace_->Trace("host>inst", request.raw,
                          request.kind == RequestKind::kRead ? "read request" : "write request");
        }
        const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - start_);
        instrument_.AdvanceTo(static_cast<std::uint64_t>(elapsed.count()) / Instrument::kStepMs);
        const Answer answer = instrument_.Decide(request);
        if (answer.kind == Answer::Kind::kSilent) {
            ++counts_.unanswered;
            if (trace_ != nullptr) trace_->Note(answer.why);
            return true;
        }
        const Fault fault = faults_.Next();
        bool applied = false;
        bool commit = true;
        const std::vector<Chunk> chunks = faults_.Shape(answer, fault, applied, commit);
        if (applied) ++counts_.faultsByKind[static_cast<int>(fault)];
        if (commit) Instrument::Commit(answer);
        const std::string note =
            answer.why + (applied ? " [fault " + std::string(FaultName(fault)) + "]" : "");
        if (chunks.empty()) {
            ++counts_.unanswered;
            if (trace_ != nullptr) trace_->Note("no answer: " + note);
            return true;
        }
        if (!Pause(options_.replyDelayMs)) return true;
        for (std::size_t i = 0; i < chunks.size(); ++i) {
            if (!Pause(chunks[i].pauseBeforeMs)) return true;
            // Traced as it starts on the line, so the time stamp is that of the first byte.
            if (trace_ != nullptr) trace_->Trace("inst>host", chunks[i].bytes, i == 0 ? note : "");
            if (!SendPaced(chunks[i].bytes)) return Stopping();
        }
        if (fault == Fault::kNak || answer.kind == Answer::Kind::kNak) {
            ++counts_.naks;
        } else if (answer.kind == Answer::Kind::kAck) {
            ++counts_.acks;
        } else {
            ++counts_.dataReplies;
        }
        return true;
    }

    host::SerialLine& line_;
    const host::PseudoTerminal* terminal_;  // null on a real device
    host::LineSettings settings_;
    bool settingsSeen_ = false;
    const Options& options_;
    Instrument& instrument_;
    FaultPlan& faults_;
    const host::StopSignal& stop_;
    host::Tracer tracer_;
    host::Tracer* trace_;  // null without --verbose
    const int bitsPerChar_;
    RequestParser parser_;
    Counts counts_;
    std::chrono::steady_clock::time_point start_{};
};

}  // namespace

void Announce(const std::string& port) {
    std::printf("PORT=%s\nREADY\n", port.c_str());
    std::fflush(stdout);
}

int Serve(host::SerialLine& line, const Options& options, Simulation& simulation,
          const host::StopSignal& stop, const host::PseudoTerminal* terminal) {
    return Server(line, options, simulation, stop, terminal).Run(simulation.seed);
}

}  // namespace sim
