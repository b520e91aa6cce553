// qm4720sim: plays one or more instruments on a serial line (a new pseudo-terminal or a real
// device) so that the driver and its hosts can run without hardware; or, with --forward, sits
// between a new pseudo-terminal and a real instrument and traces what passes.
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "platform/serial_line.h"
#include "tools/common/forward.h"
#include "tools/common/trace.h"
#include "tools/sim/config.h"
#include "tools/sim/faults.h"
#include "tools/sim/instrument.h"
#include "tools/sim/wire.h"

namespace {

constexpr int kUsageError = 2;
constexpr char kProgram[] = "qm4720sim";

// Raised by SIGINT and SIGTERM (Ctrl-C on Windows) and checked by every wait: a stop request ends
// any pause at once.
platform::StopSignal* gStop = nullptr;

bool Stopping() {
    return gStop->Raised();
}

// Waits `ms` milliseconds unless a stop is requested first; false when stopping.
bool Pause(int ms) {
    if (ms <= 0) return !Stopping();
    return platform::WaitForInput({}, *gStop, ms).end != platform::WaitEnd::kStopped;
}

// Writes the bytes one character time apart, as a line at `baud` with `bitsPerChar` bit times a
// character delivers them. False when the line failed or a stop was requested.
bool SendPaced(platform::SerialLine& line, std::span<const std::uint8_t> bytes, int baud,
               int bitsPerChar) {
    const auto charTime = std::chrono::nanoseconds(bitsPerChar * 1000000000L / baud);
    auto next = std::chrono::steady_clock::now();
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (Stopping()) return false;
        if (!line.WriteAll(bytes.subspan(i, 1))) return false;
        next += charTime;
        platform::SleepUntil(next);
    }
    return !Stopping() || bytes.empty();
}

struct Options {
    std::vector<std::string> stations;
    std::vector<std::string> sets;
    std::vector<std::string> faults;
    std::vector<std::string> script;
    std::string configPath;
    std::string linkPath;
    std::string devicePath;
    std::string forwardPath;
    std::uint64_t seed = 0;
    bool seedGiven = false;
    bool frozen = false;
    bool rawPty = false;
    bool verbose = false;
    int baud = 9600;
    int dataBits = 8;
    std::string parity = "none";
    int stopBits = 1;
    int replyDelayMs = 5;
    int splitGapMs = 40;
};

int UsageError(const std::string& message) {
    std::fprintf(stderr, "%s: %s\nRun with --help for more information.\n", kProgram,
                 message.c_str());
    return kUsageError;
}

// "N" or "N:MODEL".
bool ParseStationSpec(const std::string& argument, int& station, sim::Model& model) {
    const std::size_t colon = argument.find(':');
    const std::string number = argument.substr(0, colon);
    if (number.empty() || number.size() > 2 ||
        number.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    station = std::stoi(number);
    model = sim::Model::kDefault;
    return colon == std::string::npos || sim::ParseModel(argument.substr(colon + 1), model);
}

bool ParseNumber(const std::string& text, double& value) {
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    value = std::strtod(text.c_str(), &end);
    return errno == 0 && end == text.c_str() + text.size() && std::isfinite(value);
}

// "STATION:MNEMONIC=VALUE".
bool ParseSetSpec(const std::string& argument, int& station, std::string& mnemonic, double& value) {
    const std::size_t colon = argument.find(':');
    const std::size_t equals = argument.find('=');
    if (colon == std::string::npos || equals == std::string::npos || equals < colon) return false;
    const std::string number = argument.substr(0, colon);
    if (number.empty() || number.size() > 2 ||
        number.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    station = std::stoi(number);
    mnemonic = argument.substr(colon + 1, equals - colon - 1);
    return !mnemonic.empty() && ParseNumber(argument.substr(equals + 1), value);
}

struct Counts {
    std::map<int, std::uint64_t> requestsByStation;
    std::uint64_t requestsElsewhere = 0;
    std::uint64_t dataReplies = 0;
    std::uint64_t acks = 0;
    std::uint64_t naks = 0;
    std::uint64_t unanswered = 0;
    std::uint64_t faultsByKind[sim::kFaultCount] = {};
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
    for (int i = 1; i < sim::kFaultCount; ++i) {
        total += counts.faultsByKind[i];
        if (counts.faultsByKind[i] == 0) continue;
        if (!detail.empty()) detail += ", ";
        detail += std::string(sim::FaultName(static_cast<sim::Fault>(i))) + " " +
                  std::to_string(counts.faultsByKind[i]);
    }
    std::fprintf(stderr, "%s: faults injected: %llu%s\n", kProgram,
                 static_cast<unsigned long long>(total),
                 detail.empty() ? "" : (" (" + detail + ")").c_str());
    std::fprintf(stderr, "%s: seed %llu\n", kProgram, static_cast<unsigned long long>(seed));
}

void Announce(const std::string& port) {
    std::printf("PORT=%s\nREADY\n", port.c_str());
    std::fflush(stdout);
}

// Serves the instruments on `line` until a stop is requested or the line fails.
int Serve(platform::SerialLine& line, const Options& options, sim::Instrument& instrument,
          sim::FaultPlan& faults, std::uint64_t seed) {
    tooling::Tracer tracer(stderr);
    tooling::Tracer* trace = options.verbose ? &tracer : nullptr;
    sim::RequestParser parser;
    Counts counts;
    // A start bit, the data bits, the parity bit if any, the stop bits: 10 at 8N1.
    for (const sim::Station& station : instrument.stations()) {
        counts.requestsByStation[station.number()] = 0;  // silent stations show up too
    }
    const int bitsPerChar =
        1 + options.dataBits + (options.parity == "none" ? 0 : 1) + options.stopBits;
    const auto start = std::chrono::steady_clock::now();
    instrument.Start();
    int status = 0;

    auto traceDiscarded = [&] {
        const std::vector<std::uint8_t> junk = parser.TakeDiscarded();
        if (trace != nullptr && !junk.empty()) trace->Trace("host>inst", junk, "ignored: no frame");
    };

    auto handle = [&](const sim::Request& request) {
        if (sim::Station* station =
                request.station >= 0 ? instrument.FindStation(request.station) : nullptr) {
            ++counts.requestsByStation[station->number()];
        } else {
            ++counts.requestsElsewhere;
        }
        if (trace != nullptr) {
            trace->Trace(
                "host>inst", request.raw,
                request.kind == sim::RequestKind::kRead ? "read request" : "write request");
        }
        const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - start);
        instrument.AdvanceTo(static_cast<std::uint64_t>(elapsed.count()) /
                             sim::Instrument::kStepMs);
        const sim::Answer answer = instrument.Decide(request);
        if (answer.kind == sim::Answer::Kind::kSilent) {
            ++counts.unanswered;
            if (trace != nullptr) trace->Note(answer.why);
            return true;
        }
        const sim::Fault fault = faults.Next();
        bool applied = false;
        bool commit = true;
        const std::vector<sim::Chunk> chunks = faults.Shape(answer, fault, applied, commit);
        if (applied) ++counts.faultsByKind[static_cast<int>(fault)];
        if (commit) sim::Instrument::Commit(answer);
        const std::string note =
            answer.why + (applied ? " [fault " + std::string(sim::FaultName(fault)) + "]" : "");
        if (chunks.empty()) {
            ++counts.unanswered;
            if (trace != nullptr) trace->Note("no answer: " + note);
            return true;
        }
        if (!Pause(options.replyDelayMs)) return true;
        for (std::size_t i = 0; i < chunks.size(); ++i) {
            if (!Pause(chunks[i].pauseBeforeMs)) return true;
            // Traced as it starts on the line, so the time stamp is that of the first byte.
            if (trace != nullptr) trace->Trace("inst>host", chunks[i].bytes, i == 0 ? note : "");
            if (!SendPaced(line, chunks[i].bytes, options.baud, bitsPerChar)) return Stopping();
        }
        if (fault == sim::Fault::kNak || answer.kind == sim::Answer::Kind::kNak) {
            ++counts.naks;
        } else if (answer.kind == sim::Answer::Kind::kAck) {
            ++counts.acks;
        } else {
            ++counts.dataReplies;
        }
        return true;
    };

    platform::SerialLine* const lines[1] = {&line};
    bool failed = false;
    while (!Stopping() && !failed) {
        const platform::WaitEnd wait = platform::WaitForInput(lines, *gStop, -1).end;
        if (wait == platform::WaitEnd::kStopped || wait == platform::WaitEnd::kFailed) break;
        if (wait != platform::WaitEnd::kInput) continue;
        std::uint8_t buffer[256];
        std::string error;
        const long n = line.Read(buffer, error);
        if (n == 0) continue;
        if (n < 0) {
            std::fprintf(stderr, "%s: the line failed: %s\n", kProgram, error.c_str());
            status = 1;
            break;
        }
        for (long i = 0; i < n; ++i) {
            std::optional<sim::Request> request = parser.Feed(buffer[i]);
            if (!request) continue;
            traceDiscarded();
            if (!handle(*request)) {
                std::fprintf(stderr, "%s: writing to the line failed\n", kProgram);
                status = 1;
                failed = true;
                break;
            }
        }
        traceDiscarded();
    }
    PrintCounts(counts, seed);
    return status;
}

int RunForward(const Options& options, const platform::LineSettings& settings) {
    std::string error;
    // The pseudo-terminal first: where the system has none, that is the thing to report.
    std::unique_ptr<platform::PseudoTerminal> pty = platform::OpenPseudoTerminal(
        error,
        options.rawPty ? platform::PtySettings::kRaw : platform::PtySettings::kKernelDefaults);
    std::unique_ptr<platform::SerialLine> device;
    if (pty != nullptr) device = platform::OpenSerialLine(options.forwardPath, settings, error);
    if (device == nullptr ||
        (!options.linkPath.empty() && !pty->MakeLink(options.linkPath, error))) {
        std::fprintf(stderr, "%s: %s\n", kProgram, error.c_str());
        return 1;
    }
    Announce(pty->path());
    tooling::Tracer tracer(stderr);
    tooling::ForwardCounts counts;
    const tooling::ForwardEnd end =
        tooling::Forward(pty->line(), *device, *gStop, &tracer, {}, counts);
    device.reset();
    if (end == tooling::ForwardEnd::kDeviceFailed) {
        std::fprintf(stderr, "%s: the device %s failed or went away\n", kProgram,
                     options.forwardPath.c_str());
    }
    std::fprintf(stderr, "%s: forwarded %llu bytes to the device, %llu bytes from it\n", kProgram,
                 static_cast<unsigned long long>(counts.toDevice),
                 static_cast<unsigned long long>(counts.fromDevice));
    return end == tooling::ForwardEnd::kStopped ? 0 : 1;
}

constexpr char kFooter[] =
    R"(Stations answer reads of every register of their model's table and writes to its writable
registers (table index 13 and up). A write to a read-only register, or one with a wrong block
check or a field that is not a number of six characters, is answered NAK; a request to an unknown
station or register gets no answer. PV follows SP through a first-order lag driven by the
controller output OP (XP proportional band, TI integral time); --frozen keeps every value still.

Faults (--fault NAME=RATE, rates 0..1 adding up to at most 1, one draw per reply):
  timeout      no answer (a write is not stored)
  bad-bcc      data reply with a wrong block check
  split        reply written in 2 or 3 pieces, --split-gap ms apart
  noise        1 to 4 stray bytes before the reply
  nak          NAK instead of the reply (a write is not stored)
  non-numeric  data field with a character that is no digit, "." or "-"
  lone-stx     a lone STX, a pause of --split-gap ms, then the reply
--script ok,timeout,bad-bcc gives the faults of the first replies in order; then the rates apply.

Configuration file (--config), every key optional:
  {"seed": 7,
   "stations": [{"station": 1, "model": "default", "values": {"SP": 120.5, "PN": 2}},
                {"station": 12, "model": "QM4720N"}],
   "faults": {"timeout": 0.1, "bad-bcc": 0.05}}

On start it prints PORT=<device to open> and READY on stdout. SIGINT or SIGTERM ends it; it then
prints its counts (requests per station, replies, faults injected, seed) on stderr.
Exit status: 0 after a stop, 1 when the line fails, 2 for a usage error.

Examples:
  qm4720sim --station 1 --station 12:QM4720N
  qm4720sim --station 1 --set 1:SP=120.5 --link /tmp/qm4720 -v
  qm4720sim --config stations.json --seed 7 --fault timeout=0.1 --fault bad-bcc=0.05
  qm4720sim --station 3 --frozen --script ok,nak,split
  qm4720sim --device /dev/ttyUSB0 --baud 9600 --parity even --station 1
  qm4720sim --device COM3 --station 1        (Windows: a real port; pseudo-terminals need Linux)
  qm4720sim --forward /dev/ttyUSB0 --baud 9600 --link /tmp/qm4720-watch
)";

}  // namespace

int main(int argc, char** argv) {
    Options options;
    CLI::App app{"Simulates QM4720 process meters on a pseudo-terminal or serial device.",
                 kProgram};
    app.footer(kFooter);
    app.add_option("--station", options.stations,
                   "A station to simulate, N in 0..99, optionally with its model: 12:QM4720N "
                   "(default model unless given); repeatable. Without any, station 1.")
        ->type_name("N[:MODEL]");
    app.add_option("--set", options.sets, "Initial value of a register: 1:SP=120.5; repeatable")
        ->type_name("N:REG=VALUE");
    app.add_option("--config", options.configPath,
                   "JSON file with stations, initial values, fault rates and seed (see below); "
                   "the other options add to it")
        ->type_name("FILE");
    app.add_option("--seed", options.seed, "Seed of every random choice: same seed, same run")
        ->type_name("N");
    app.add_flag("--frozen", options.frozen, "Keep every value still (no process, no noise)");
    app.add_option("--fault", options.faults, "Inject a fault at a rate: timeout=0.1; repeatable")
        ->type_name("NAME=RATE")
        ->delimiter(',');
    app.add_option("--script", options.script,
                   "Faults of the first replies in order, \"ok\" for none: ok,timeout,split")
        ->type_name("LIST")
        ->delimiter(',');
    app.add_option("--reply-delay", options.replyDelayMs, "Turnaround before each reply, ms")
        ->type_name("MS")
        ->check(CLI::Range(0, 60000))
        ->capture_default_str();
    app.add_option("--split-gap", options.splitGapMs,
                   "Pause between the pieces of a split or lone-STX reply, ms")
        ->type_name("MS")
        ->check(CLI::Range(0, 60000))
        ->capture_default_str();
    app.add_option("--baud", options.baud,
                   "Line rate: paces every byte sent (start, data, parity and stop bits: 10 bit "
                   "times a character at 8N1) and sets the "
                   "device's rate")
        ->type_name("N")
        ->check(CLI::Range(50, 4000000))
        ->capture_default_str();
    app.add_option("--data-bits", options.dataBits,
                   "Data bits of a character: set on a device, counted in the pacing")
        ->check(CLI::Range(5, 8))
        ->capture_default_str();
    app.add_option("--parity", options.parity, "Parity: set on a device, counted in the pacing")
        ->check(CLI::IsMember({"none", "odd", "even", "mark", "space"}))
        ->capture_default_str();
    app.add_option("--stop-bits", options.stopBits,
                   "Stop bits: set on a device, counted in the pacing")
        ->check(CLI::IsMember({1, 2}))
        ->capture_default_str();
    app.add_option("--link", options.linkPath,
                   "Also make PATH a symbolic link to the new pseudo-terminal")
        ->type_name("PATH");
    app.add_flag("--raw-pty", options.rawPty,
                 "Make the new pseudo-terminal raw for hosts that do not set their line up (the "
                 "driver does: without this the terminal keeps the kernel's defaults, as a real "
                 "port does)");
    auto* device = app.add_option("--device", options.devicePath,
                                  "Serve a real serial device instead of a new pseudo-terminal")
                       ->type_name("PATH");
    app.add_option("--forward", options.forwardPath,
                   "Sit between a new pseudo-terminal and this real device, pass bytes both ways "
                   "and trace them on stderr")
        ->type_name("DEVICE")
        ->excludes(device);
    app.add_flag("-v,--verbose", options.verbose,
                 "Trace every frame both ways on stderr: time, hex and text");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int rc = app.exit(e);
        return rc == 0 ? 0 : kUsageError;
    }
    options.seedGiven = app.count("--seed") > 0;

    platform::LineSettings line;
    line.baud = options.baud;
    line.dataBits = options.dataBits;
    line.stopBits = options.stopBits;
    platform::ParseParity(options.parity, line.parity);
    if ((!options.devicePath.empty() || !options.forwardPath.empty()) &&
        !platform::IsSupportedBaud(options.baud)) {
        return UsageError("--baud " + std::to_string(options.baud) +
                          ": a real device takes one of the standard rates "
                          "(1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200, ...)");
    }
    if (!options.devicePath.empty() && !options.linkPath.empty()) {
        return UsageError("--link names a new pseudo-terminal; it does not go with --device");
    }
    if (!options.devicePath.empty() && options.rawPty) {
        return UsageError("--raw-pty sets up a new pseudo-terminal; it does not go with --device");
    }
    platform::StopSignal stop;
    gStop = &stop;
    if (!platform::RaiseOnTerminationSignals(stop)) {
        std::fprintf(stderr, "%s: cannot set up signal handling\n", kProgram);
        return 1;
    }
    if (!options.forwardPath.empty()) {
        if (!options.stations.empty() || !options.sets.empty() || !options.faults.empty() ||
            !options.script.empty() || !options.configPath.empty()) {
            return UsageError(
                "--forward passes a real instrument's bytes; --station, --set, "
                "--config, --fault and --script do not go with it");
        }
        return RunForward(options, line);
    }

    sim::Config config;
    std::string error;
    if (!options.configPath.empty() && !sim::LoadConfig(options.configPath, config, error)) {
        return UsageError("--config " + error);
    }
    std::uint64_t seed = std::random_device{}();
    if (config.seed) seed = *config.seed;
    if (options.seedGiven) seed = options.seed;

    sim::Instrument instrument(seed, options.frozen);
    for (const sim::StationConfig& station : config.stations) {
        if (!instrument.AddStation(station.station, station.model, error)) {
            return UsageError("--config " + options.configPath + ": " + error);
        }
    }
    for (const std::string& argument : options.stations) {
        int number = 0;
        sim::Model model = sim::Model::kDefault;
        if (!ParseStationSpec(argument, number, model)) {
            return UsageError(
                "--station expects N or N:MODEL with N in 0..99 and MODEL "
                "QM4720N or default, got \"" +
                argument + "\"");
        }
        if (!instrument.AddStation(number, model, error)) return UsageError("--station: " + error);
    }
    if (instrument.stations().empty()) instrument.AddStation(1, sim::Model::kDefault, error);
    for (const sim::StationConfig& station : config.stations) {
        for (const auto& [mnemonic, value] : station.values) {
            if (!instrument.FindStation(station.station)->Set(mnemonic, value, error)) {
                return UsageError("--config " + options.configPath + ": " + error);
            }
        }
    }
    for (const std::string& argument : options.sets) {
        int number = 0;
        std::string mnemonic;
        double value = 0.0;
        if (!ParseSetSpec(argument, number, mnemonic, value)) {
            return UsageError("--set expects STATION:REGISTER=NUMBER such as 1:SP=120.5, got \"" +
                              argument + "\"");
        }
        sim::Station* station = instrument.FindStation(number);
        if (station == nullptr) {
            return UsageError("--set " + argument + ": station " + std::to_string(number) +
                              " is not simulated (add --station " + std::to_string(number) + ")");
        }
        if (!station->Set(mnemonic, value, error))
            return UsageError("--set " + argument + ": " + error);
    }

    sim::FaultPlan faults(seed);
    faults.SetSplitGapMs(options.splitGapMs);
    for (const auto& [fault, rate] : config.faults) {
        if (!faults.SetRate(fault, rate, error)) return UsageError("--config: " + error);
    }
    for (const std::string& argument : options.faults) {
        const std::size_t equals = argument.find('=');
        const std::optional<sim::Fault> fault = sim::FaultFromName(
            argument.substr(0, equals == std::string::npos ? argument.size() : equals));
        double rate = 0.0;
        if (equals == std::string::npos || !fault || *fault == sim::Fault::kNone ||
            !ParseNumber(argument.substr(equals + 1), rate)) {
            return UsageError("--fault expects NAME=RATE with NAME one of " + sim::FaultNameList() +
                              " and RATE in 0..1, got \"" + argument + "\"");
        }
        if (!faults.SetRate(*fault, rate, error))
            return UsageError("--fault " + argument + ": " + error);
    }
    std::vector<sim::Fault> script;
    for (const std::string& name : options.script) {
        const std::optional<sim::Fault> fault = sim::FaultFromName(name);
        if (!fault) {
            return UsageError("--script expects a comma-separated list of ok, " +
                              sim::FaultNameList() + "; got \"" + name + "\"");
        }
        script.push_back(*fault);
    }
    faults.SetScript(std::move(script));

    if (!options.devicePath.empty()) {
        const std::unique_ptr<platform::SerialLine> device =
            platform::OpenSerialLine(options.devicePath, line, error);
        if (device == nullptr) {
            std::fprintf(stderr, "%s: %s\n", kProgram, error.c_str());
            return 1;
        }
        Announce(options.devicePath);
        return Serve(*device, options, instrument, faults, seed);
    }
    const std::unique_ptr<platform::PseudoTerminal> pty = platform::OpenPseudoTerminal(
        error,
        options.rawPty ? platform::PtySettings::kRaw : platform::PtySettings::kKernelDefaults);
    if (pty == nullptr || (!options.linkPath.empty() && !pty->MakeLink(options.linkPath, error))) {
        std::fprintf(stderr, "%s: %s\n", kProgram, error.c_str());
        return 1;
    }
    Announce(pty->path());
    return Serve(pty->line(), options, instrument, faults, seed);
}
