#include "tools/ctl/command_support.h"

#include <algorithm>
#include <charconv>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "host/client/error_outcomes.h"
#include "host/client/port_problem.h"
#include "host/oskit/bridge/port_bridge.h"
#include "host/oskit/line_tap.h"
#include "host/oskit/system_text.h"
#include "tools/ctl/interrupt.h"

namespace ctl {

void Diagnose(const std::string& text) {
    std::fprintf(stderr, "qm4720ctl: %s\n", text.c_str());
}

void ReportDriverFailure(const std::string& context, const qm4720::Error& error) {
    std::string flat = error.driverText;
    std::replace(flat.begin(), flat.end(), '\n', ' ');
    const std::string gloss(host::Gloss(static_cast<std::int32_t>(error.code)));
    Diagnose(context + ": " + (flat.empty() ? "failed" : flat) +
             (gloss.empty() ? "" : " (" + gloss + ")"));
}

std::unique_ptr<qm4720::Driver> LoadDriver(const Options& options, int& status) {
    auto driver = std::make_unique<qm4720::Driver>();
    const qm4720::Error error = options.module.progId.empty()
                                    ? driver->Load(options.module.modulePath, options.model)
                                    : driver->LoadByProgId(options.module.progId, options.model);
    if (error) {
        Diagnose("cannot create the driver: " + error.driverText);
        status = kExitModule;
        return nullptr;
    }
    return driver;
}

bool RedirectOutput(const Options& options, int& status) {
    // Once: the commands call it on their way, and a second freopen would truncate the file.
    static bool redirected = false;
    if (options.outputPath.empty() || redirected) return true;
    if (std::freopen(options.outputPath.c_str(), "w", stdout) == nullptr) {
        const int code = errno;
        Diagnose("--output " + options.outputPath + ": " + std::strerror(code));
        status = kExitUsage;
        return false;
    }
    redirected = true;
    return true;
}

LineSession::LineSession(std::unique_ptr<qm4720::Driver> driver, const Options& options,
                         const qm4720::LineSettings& line)
    : options_(options), line_(line), driver_(std::move(driver)) {}

LineSession::~LineSession() {
    Close();
}

namespace {

// --trace: the line through the host kit's pass-through, which writes every byte to stderr.
std::shared_ptr<void> StartTracedLine(const std::string& device, const qm4720::LineSettings& line,
                                      std::string& portName, std::string& error) {
    std::shared_ptr<host::LineTap> tap = host::StartLineTap(
        {device, line.baud, line.dataBits, qm4720::ParityName(line.parity), line.stopBits}, error);
    if (tap == nullptr) return nullptr;
    portName = tap->PortName();
    return tap;
}

host::LineSettings HostLine(const qm4720::LineSettings& line) {
    host::LineSettings settings;
    settings.baud = line.baud;
    settings.dataBits = line.dataBits;
    settings.parity = static_cast<host::Parity>(line.parity);
    settings.stopBits = line.stopBits;
    return settings;
}

// A port through a serial device server: the driver opens the bridge's pseudo-terminal, with
// --trace through a tap on that terminal.
std::function<std::shared_ptr<void>(const std::string&, const qm4720::LineSettings&, std::string&,
                                    std::string&)>
NetworkPassThrough(const host::NetworkPort& network, bool trace) {
    return [network, trace](const std::string&, const qm4720::LineSettings& line,
                            std::string& portName, std::string& error) -> std::shared_ptr<void> {
        // Ctrl-C ends a connect that waits for a server that does not answer.
        std::shared_ptr<host::PortBridge> bridge =
            host::StartPortBridge(network, HostLine(line), error, [] { return !Interrupted(); });
        if (bridge == nullptr) return nullptr;
        portName = bridge->PortName();
        if (!trace) return bridge;
        std::shared_ptr<void> tap = StartTracedLine(portName, line, portName, error);
        if (tap == nullptr) return nullptr;
        // The tap first, then the bridge under it.
        return std::make_shared<std::pair<std::shared_ptr<void>, std::shared_ptr<void>>>(
            std::move(bridge), std::move(tap));
    };
}

}  // namespace

bool LineSession::Open(std::string& error) {
    qm4720::OpenOptions open{line_};
    open.port = options_.line.port;
    open.model = options_.model;
    open.modulePath = options_.module.modulePath;
    open.progId = options_.module.progId;
    if (options_.line.trace) open.passThrough = StartTracedLine;
    host::NetworkPort network;
    const bool networked =
        host::ReadPortName(open.port, network, error) == host::PortKind::kNetwork;
    if (networked) open.passThrough = NetworkPassThrough(network, options_.line.trace);
    const qm4720::Error failure = driver_->Open(open);
    if (!failure) return true;
    if (failure.driverText.empty()) {
        // Refused before the driver: the pass-through or the bridge could not start, or the name
        // is too long.
        if (networked && failure.code == qm4720::ErrorCode::kOpen) {
            error = failure.reason;
        } else {
            error = options_.line.trace && failure.code == qm4720::ErrorCode::kOpen
                        ? "--trace: " + failure.reason
                        : failure.message;
        }
        return false;
    }
    error = failure.driverText;
    std::replace(error.begin(), error.end(), '\n', ' ');
    const std::string gloss(host::Gloss(static_cast<std::int32_t>(failure.code)));
    if (!gloss.empty()) error += " (" + gloss + ")";
    // The driver says only that it failed; the system says why (of a device: a bridge's
    // terminal has nothing to say).
    const std::string why = networked ? std::string() : host::PortOpenProblem(options_.line.port);
    if (!why.empty()) error += "\n" + why;
    return false;
}

void LineSession::Close() {
    driver_->Close();
}

std::unique_ptr<LineSession> OpenLineSession(const Options& options, int& status,
                                             const std::function<bool(qm4720::Driver&)>& check) {
    auto driver = LoadDriver(options, status);
    if (!driver) return nullptr;
    if (check && !check(*driver)) {
        status = kExitUsage;
        return nullptr;
    }
    const PortOptions& line = options.line;
    if (line.port.empty()) {
        Diagnose("no port given: use --port DEVICE (see 'qm4720ctl ports')");
        status = kExitUsage;
        return nullptr;
    }
    host::NetworkPort network;
    std::string portError;
    const host::PortKind kind = host::ReadPortName(line.port, network, portError);
    if (kind == host::PortKind::kMalformed) {
        Diagnose("--port: " + portError);
        status = kExitUsage;
        return nullptr;
    }
    const std::string device = host::PortDeviceName(line.port);
    // With --trace, or through a device server, the driver opens a pseudo-terminal, whose name
    // is short.
    if (!line.trace && kind == host::PortKind::kDevice && device.size() > qm4720::kPortNameMax) {
        Diagnose("--port: a device name of at most 31 characters (or a link to one) was expected");
        status = kExitUsage;
        return nullptr;
    }
    if (line.timeoutMs < 10) {
        Diagnose("--timeout " + std::to_string(line.timeoutMs) +
                 ": the driver reads a timeout below 10 ms as 1000 ms");
    }
    qm4720::LineSettings settings;
    settings.baud = line.baud;
    settings.dataBits = line.dataBits;
    settings.stopBits = line.stopBits;
    // 0..32767 by the parser; below 10 ms it is what the driver would make of it.
    settings.replyTimeoutMs = line.timeoutMs < 10 ? 1000 : line.timeoutMs;
    if (qm4720::Error parity = qm4720::ParseParity(line.parity, settings.parity)) {
        Diagnose("--parity: " + parity.message);
        status = kExitUsage;
        return nullptr;
    }
    if (!RedirectOutput(options, status)) return nullptr;
    auto opened = std::make_unique<LineSession>(std::move(driver), options, settings);
    std::string error;
    if (!opened->Open(error)) {
        // The driver's message, then the system's reason on a line of its own.
        for (std::size_t at = 0; (at = error.find('\n', at)) != std::string::npos; ++at)
            error.insert(at + 1, "qm4720ctl: ");
        Diagnose("cannot open " + line.port + ": " + error);
        status = kExitFailure;
        return nullptr;
    }
    return opened;
}

std::optional<qm4720::Register> ResolveRegister(const qm4720::Driver& driver,
                                                const Options& options, const std::string& text) {
    const qm4720::RegisterResult resolved = driver.ParseRegister(text);
    if (!resolved.error) return resolved.reg;
    ReportDriverFailure("register '" + text + "'", resolved.error);
    // The meter's mnemonics are upper case and the driver takes them as they are.
    std::string upper = text;
    std::transform(upper.begin(), upper.end(), upper.begin(),
                   [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; });
    if (upper != text && !driver.ParseRegister(upper).error) {
        Diagnose("register '" + text + "': did you mean " + upper + "?");
    } else {
        Diagnose("the registers of a model: qm4720ctl tables --model " +
                 (options.model.empty() ? std::string("MODEL") : options.model));
    }
    return std::nullopt;
}

bool ResolveRegisters(const qm4720::Driver& driver, const Options& options,
                      std::vector<qm4720::Register>& registers) {
    for (const std::string& text : options.registers) {
        auto reg = ResolveRegister(driver, options, text);
        if (!reg) return false;
        registers.push_back(*reg);
    }
    return true;
}

bool ParseOneStation(const Options& options, const char* command, int& station) {
    std::vector<int> stations;
    std::string error;
    if (!ParseStationList(options.stations, stations, error) || stations.size() != 1) {
        Diagnose(error.empty() ? std::string(command) + ": expected one station (--station N)"
                               : error);
        return false;
    }
    station = stations[0];
    return true;
}

bool ParseStationList(const std::string& text, std::vector<int>& stations, std::string& error) {
    stations.clear();
    auto number = [&](std::string_view part, int& out) {
        const auto result = std::from_chars(part.data(), part.data() + part.size(), out);
        return result.ec == std::errc() && result.ptr == part.data() + part.size() && out >= 0 &&
               out <= 99;
    };
    std::string_view rest = text;
    while (!rest.empty()) {
        const std::size_t comma = rest.find(',');
        const std::string_view part = rest.substr(0, comma);
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
        const std::size_t dash = part.find('-');
        int first = 0;
        int last = 0;
        const bool ok = dash == std::string_view::npos
                            ? number(part, first) && number(part, last)
                            : number(part.substr(0, dash), first) &&
                                  number(part.substr(dash + 1), last) && first <= last;
        if (!ok) {
            error = "stations: expected numbers 0..99 and ranges like 1,3-5, got '" +
                    std::string(part) + "'";
            return false;
        }
        for (int s = first; s <= last; ++s) stations.push_back(s);
    }
    if (stations.empty()) {
        error = "stations: expected at least one station";
        return false;
    }
    return true;
}

Cell ValueCell(const qm4720::Reading& reading) {
    return reading.ok() ? Cell::Number(reading.value) : Cell::Null();
}

std::string_view ReadingOutcome(const qm4720::Reading& reading) {
    if (reading.ok()) return "ok";
    return host::FailureOutcome(static_cast<std::int32_t>(reading.error.code));
}

qm4720::Reading ReadWithRetries(qm4720::Driver& driver, const Options& options, int station,
                                const qm4720::Register& reg, int& retried) {
    qm4720::Reading reading = driver.Read(station, reg.mnemonic);
    auto latency = reading.latency;
    for (int attempt = 0; !reading.ok() && attempt < options.retries && !Interrupted(); ++attempt) {
        ++retried;
        reading = driver.Read(station, reg.mnemonic);
        latency += reading.latency;
    }
    reading.latency = latency;
    return reading;
}

std::vector<std::string> ReadingColumns() {
    return {"time",    "station", "register",   "type", "value",
            "quality", "status",  "latency_ms", "error"};
}

std::vector<Cell> ReadingCells(const Options& options, int station, const qm4720::Register& reg,
                               const qm4720::Reading& reading, bool stamped,
                               std::uint64_t attemptTime, Cell value, std::string_view status,
                               const std::string& error) {
    stamped = stamped && reading.ok();
    return {TimeCell(stamped ? FileTimeOf(reading.time) : attemptTime, options.time),
            Cell::Number(station),
            Cell::Text(reg.mnemonic),
            Cell::Text(qm4720::DataTypeName(reg.type)),
            std::move(value),
            stamped ? Cell::Number(reading.quality) : Cell::Null(),
            Cell::Text(Colored(options, status, reading.ok() && error.empty())),
            Cell::Number(std::round(reading.latency.count() * 10) / 10),
            error.empty() ? Cell::Null() : Cell::Text(error)};
}

std::string Colored(const Options& options, std::string_view text, bool good) {
    if (!options.color) return std::string(text);
    return std::string(good ? "\x1b[32m" : "\x1b[31m") + std::string(text) + "\x1b[0m";
}

}  // namespace ctl
