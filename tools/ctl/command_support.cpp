#include "tools/ctl/command_support.h"

#include <algorithm>
#include <charconv>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "host/port_problem.h"
#include "host/system_text.h"
#include "records/data_type.h"
#include "tools/ctl/interrupt.h"
#include "host/error_outcomes.h"

namespace ctl {

void Diagnose(const std::string& text) {
    std::fprintf(stderr, "qm4720ctl: %s\n", text.c_str());
}

void ReportDriverFailure(const std::string& context, const std::string& message,
                         std::int32_t code) {
    std::string flat = message;
    std::replace(flat.begin(), flat.end(), '\n', ' ');
    const std::string gloss(host::Gloss(code));
    Diagnose(context + ": " + (flat.empty() ? "failed" : flat) +
             (gloss.empty() ? "" : " (" + gloss + ")"));
}

std::unique_ptr<host::DriverSession> Session(const Options& options, int& status) {
    std::string error;
    auto session = host::DriverSession::Create(options.module, error);
    if (session == nullptr) {
        Diagnose("cannot create the driver: " + error);
        status = kExitModule;
    }
    return session;
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

LineSession::LineSession(std::unique_ptr<host::DriverSession> session, const Options& options,
                         const qm4720::LineSettings& line)
    : options_(options), line_(line), session_(std::move(session)) {}

LineSession::~LineSession() {
    Close();
}

bool LineSession::Open(std::string& error) {
    std::string port = options_.line.port;
    if (options_.line.trace) {
        const PortOptions& line = options_.line;
        tap_ = host::StartLineTap({line.port, line.baud, line.dataBits, line.parity, line.stopBits},
                                  error);
        if (!tap_) {
            error = "--trace: " + error;
            return false;
        }
        port = tap_->PortName();
    }
    // Named again at every open: a stable link may point at another device after a reconnect.
    const std::string device = host::PortDeviceName(port);
    PortSettings settings{};
    if (!host::PortSettingsFor(device, line_, settings)) {
        error = device + ": a device name of at most 31 characters was expected";
        tap_.reset();
        return false;
    }
    if (session_->Open(settings, error)) return true;
    std::replace(error.begin(), error.end(), '\n', ' ');
    const std::string gloss(host::Gloss(session_->ErrorCode()));
    if (!gloss.empty()) error += " (" + gloss + ")";
    // The driver says only that it failed; the system says why.
    const std::string why = host::PortOpenProblem(options_.line.port);
    if (!why.empty()) error += "\n" + why;
    tap_.reset();
    return false;
}

void LineSession::Close() {
    session_->Close();
    tap_.reset();
}

std::unique_ptr<LineSession> OpenLineSession(
    const Options& options, int& status, const std::function<bool(host::DriverSession&)>& check) {
    auto session = Session(options, status);
    if (!session) return nullptr;
    if (check && !check(*session)) {
        status = kExitUsage;
        return nullptr;
    }
    const PortOptions& line = options.line;
    if (line.port.empty()) {
        Diagnose("no port given: use --port DEVICE (see 'qm4720ctl ports')");
        status = kExitUsage;
        return nullptr;
    }
    const std::string device = host::PortDeviceName(line.port);
    // With --trace the driver opens the pass-through's pseudo-terminal, whose name is short.
    if (!line.trace && device.size() >= sizeof PortSettings{}.portName) {
        Diagnose("--port: a device name of at most 31 characters (or a link to one) was expected");
        status = kExitUsage;
        return nullptr;
    }
    if (line.timeoutMs < 10) {
        Diagnose("--timeout " + std::to_string(line.timeoutMs) +
                 ": the driver reads a timeout below 10 ms as 1000 ms");
    }
    // Not CheckLine's ranges: qm4720ctl passes a timeout below 10 ms on, with the warning above.
    qm4720::LineSettings settings;
    settings.baud = line.baud;
    settings.dataBits = line.dataBits;
    settings.stopBits = line.stopBits;
    settings.replyTimeoutMs = line.timeoutMs;  // 0..32767 by the parser
    if (qm4720::Error parity = qm4720::ParseParity(line.parity, settings.parity)) {
        Diagnose("--parity: " + parity.message);
        status = kExitUsage;
        return nullptr;
    }
    if (!RedirectOutput(options, status)) return nullptr;
    auto opened = std::make_unique<LineSession>(std::move(session), options, settings);
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

std::optional<host::RegisterRef> ResolveRegister(host::DriverSession& session,
                                                 const Options& options, const std::string& text) {
    std::string error;
    auto reg = session.Resolve(options.model, text, 0xFFFF, error);
    if (reg) return reg;
    ReportDriverFailure("register '" + text + "'", error, session.ErrorCode());
    // The meter's mnemonics are upper case and the driver takes them as they are.
    std::string upper = text;
    std::transform(upper.begin(), upper.end(), upper.begin(),
                   [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; });
    std::string ignored;
    if (upper != text && session.Resolve(options.model, upper, 0xFFFF, ignored)) {
        Diagnose("register '" + text + "': did you mean " + upper + "?");
    } else {
        Diagnose("the registers of a model: qm4720ctl tables --model " +
                 (options.model.empty() ? std::string("MODEL") : options.model));
    }
    return std::nullopt;
}

bool ResolveRegisters(host::DriverSession& session, const Options& options,
                      std::vector<host::RegisterRef>& registers) {
    for (const std::string& text : options.registers) {
        auto reg = ResolveRegister(session, options, text);
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

Cell ValueCell(const host::Reading& reading) {
    return reading.ok ? Cell::Number(reading.value) : Cell::Null();
}

host::Reading ReadWithRetries(host::DriverSession& session, const Options& options, int station,
                              const host::RegisterRef& reg, int& retried) {
    const auto station16 = static_cast<std::int16_t>(station);
    host::Reading reading = session.Read(options.model, station16, reg);
    double latencyMs = reading.latencyMs;
    for (int attempt = 0; !reading.ok && attempt < options.retries && !Interrupted(); ++attempt) {
        ++retried;
        reading = session.Read(options.model, station16, reg);
        latencyMs += reading.latencyMs;
    }
    reading.latencyMs = latencyMs;
    return reading;
}

std::vector<std::string> ReadingColumns() {
    return {"time",    "station", "register",   "type", "value",
            "quality", "status",  "latency_ms", "error"};
}

std::vector<Cell> ReadingCells(const Options& options, int station, const host::RegisterRef& reg,
                               const host::Reading& reading, std::uint64_t attemptTime, Cell value,
                               std::string_view status, const std::string& error) {
    const bool stamped = reading.ok && reading.fileTime != 0;
    return {TimeCell(stamped ? reading.fileTime : attemptTime, options.time),
            Cell::Number(station),
            Cell::Text(reg.mnemonic),
            Cell::Text(qm4720::DataTypeName(static_cast<qm4720::DataType>(reg.type))),
            std::move(value),
            stamped ? Cell::Number(reading.quality) : Cell::Null(),
            Cell::Text(Colored(options, status, reading.ok && error.empty())),
            Cell::Number(std::round(reading.latencyMs * 10) / 10),
            error.empty() ? Cell::Null() : Cell::Text(error)};
}

std::string Colored(const Options& options, std::string_view text, bool good) {
    if (!options.color) return std::string(text);
    return std::string(good ? "\x1b[32m" : "\x1b[31m") + std::string(text) + "\x1b[0m";
}

}  // namespace ctl
