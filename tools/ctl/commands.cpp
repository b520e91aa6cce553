#include "tools/ctl/commands.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <thread>

#include "platform/host.h"
#include "records/data_type.h"

namespace ctl {

std::atomic<bool> g_interrupted{false};

namespace {

struct MessageGloss {
    const char* message;  // the driver's message, in UTF-8
    const char* gloss;
};

constexpr MessageGloss kGlosses[] = {
    {"设备寄存器名字错误!", "the register name is not one of the model's registers"},
    {"输入的表号错误!\n 表号由仪表中'48'号参数决定.",
     "the station number must be one or two digits (set by parameter 48 of the meter)"},
    {"寄存器范围错误!", "the register suffix is out of range"},
    {"超时错误!", "timeout: the meter did not answer in time"},
    {"打开串口错误!", "the serial port could not be opened or used"},
    {"数据范围超!", "the value does not fit the meter's six-character field"},
    {"命令或数据格式错!", "this value type cannot be written to this model"},
    {"接收到错误数据!", "the meter's reply was malformed or failed its block check"},
    {"通讯口波特率设置错误!\n 设置范围: 300－9600 bit/s.", "the baud rate must be 300 to 9600"},
    {"变量数据类型错误.", "the tag's data type does not match the register"},
};

const char* TypeName(std::uint16_t type) {
    switch (type) {
        case kTypeBit:
            return "BIT";
        case kTypeByte:
            return "BYTE";
        case kTypeInt:
            return "INT";
        case kTypeUint:
            return "UINT";
        case kTypeBcd:
            return "BCD";
        case kTypeLong:
            return "LONG";
        case kTypeLongBcd:
            return "LONGBCD";
        case kTypeFloat:
            return "FLOAT";
        case kTypeString:
            return "STRING";
        default:
            return "?";
    }
}

void Diagnose(const std::string& text) {
    std::fprintf(stderr, "qm4720ctl: %s\n", text.c_str());
}

// The driver's message, converted for the terminal, then its English gloss.
void ReportDriverFailure(const std::string& context, const std::string& message) {
    std::string flat = message;
    std::replace(flat.begin(), flat.end(), '\n', ' ');
    const std::string gloss = Gloss(message);
    Diagnose(context + ": " + (flat.empty() ? "failed" : flat) +
             (gloss.empty() ? "" : " (" + gloss + ")"));
}

std::unique_ptr<DriverSession> Session(const Options& options, int& status) {
    std::string error;
    auto session = DriverSession::Create(options.module, error);
    if (session == nullptr) {
        Diagnose("cannot create the driver: " + error);
        status = kExitModule;
    }
    return session;
}

// The tracing pass-through of --trace; outlives every driver session of the command.
std::unique_ptr<platform::LineTap> g_lineTap;

bool OpenLine(DriverSession& session, const Options& options, int& status) {
    PortOptions line = options.line;
    if (line.port.empty()) {
        Diagnose("no port given: use --port DEVICE (see 'qm4720ctl ports')");
        status = kExitUsage;
        return false;
    }
    if (line.trace) {
        std::string error;
        g_lineTap = platform::StartLineTap(
            {line.port, line.baud, line.dataBits, line.parity, line.stopBits}, error);
        if (!g_lineTap) {
            Diagnose("--trace: " + error);
            status = kExitFailure;
            return false;
        }
        line.port = g_lineTap->PortName();
    }
    line.port = platform::PortDeviceName(line.port);
    PortSettings settings{};
    if (line.port.size() >= sizeof settings.portName) {
        Diagnose("--port: a device name of at most 31 characters was expected");
        status = kExitUsage;
        return false;
    }
    std::memcpy(settings.portName, line.port.c_str(), line.port.size());
    settings.baudRate = line.baud;
    settings.dataBits = static_cast<std::uint8_t>(line.dataBits);
    settings.stopBits = static_cast<std::int16_t>(line.stopBits);
    constexpr const char* kParities[] = {"none", "odd", "even", "mark", "space"};
    for (std::uint8_t i = 0; i < 5; ++i) {
        if (line.parity == kParities[i]) settings.parity = i;
    }
    settings.replyTimeout = static_cast<std::int16_t>(std::clamp(line.timeoutMs, -32768, 32767));
    std::string error;
    if (!session.Open(settings, error)) {
        ReportDriverFailure("cannot open " + options.line.port, error);
        status = kExitFailure;
        return false;
    }
    return true;
}

std::optional<RegisterRef> ResolveRegister(DriverSession& session, const Options& options,
                                           const std::string& text) {
    std::string error;
    auto reg = session.Resolve(options.model, text, 0xFFFF, error);
    if (!reg) ReportDriverFailure("register '" + text + "'", error);
    return reg;
}

// The one station of read and write; false (reported) when --station is not one number 0..99.
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

// Every register of the command line, in order; false (reported) at the first one refused.
bool ResolveRegisters(DriverSession& session, const Options& options,
                      std::vector<RegisterRef>& registers) {
    for (const std::string& text : options.registers) {
        auto reg = ResolveRegister(session, options, text);
        if (!reg) return false;
        registers.push_back(*reg);
    }
    return true;
}

Cell ValueCell(const Reading& reading) {
    return reading.ok ? Cell::Number(reading.value) : Cell::Null();
}

std::string Outcome(const Reading& reading) {
    if (reading.ok) return "ok";
    if (reading.error == "超时错误!") return "timeout";
    if (reading.error == "接收到错误数据!") return "reply-error";
    return "error";
}

std::string Colored(const Options& options, const std::string& text, bool good) {
    if (!options.color) return text;
    return std::string(good ? "\x1b[32m" : "\x1b[31m") + text + "\x1b[0m";
}

// Sleeps in short steps so that Ctrl-C ends the wait promptly. False when interrupted.
bool WaitFor(std::chrono::steady_clock::time_point until) {
    while (std::chrono::steady_clock::now() < until) {
        if (g_interrupted) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return !g_interrupted;
}

// Digits after the point that a FLOAT keeps in the six-character field.
double FieldResolution(std::uint16_t type, double value) {
    if (type != kTypeFloat) return 0.5;
    int integerDigits = 1;
    for (double m = std::fabs(value); m >= 10; m /= 10) ++integerDigits;
    const int decimals = std::clamp(6 - integerDigits - 1 - (value < 0 ? 1 : 0), 1, 4);
    return 0.5 * std::pow(10.0, -decimals) + 1e-6 * std::fabs(value);
}

}  // namespace

std::string Gloss(const std::string& message) {
    for (const MessageGloss& entry : kGlosses) {
        if (message == entry.message) return entry.gloss;
    }
    if (message.rfind("数据类型错误,应选", 0) == 0) {
        return "the tag's data type does not match the register; the message names the type";
    }
    return {};
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

int RunPorts(const Options& options) {
    RecordWriter out(options.format,
                     {"port", "driver", "usb_vendor", "usb_product", "description"});
    for (const platform::SerialPortInfo& port : platform::ListSerialPorts()) {
        out.Row({Cell::Text(port.name), Cell::Text(port.driver), Cell::Text(port.usbVendor),
                 Cell::Text(port.usbProduct), Cell::Text(port.description)});
    }
    return kExitOk;
}

int RunTables(const Options& options) {
    int status = kExitOk;
    auto session = Session(options, status);
    if (!session) return status;
    RecordWriter out(options.format, {"index", "mnemonic", "type", "read_only"});
    const auto table = session->RegisterTable(options.model);
    for (std::size_t i = 0; i < table.size(); ++i) {
        const RegisterDescriptor& entry = table[i];
        out.Row({Cell::Number(static_cast<double>(i)),
                 Cell::Text(std::string(entry.mnemonic, strnlen(entry.mnemonic, 8))),
                 Cell::Text(TypeName(entry.dataType)), Cell::Text(entry.readOnly ? "yes" : "no")});
    }
    return kExitOk;
}

int RunCheckStation(const Options& options) {
    int status = kExitOk;
    auto session = Session(options, status);
    if (!session) return status;
    std::int32_t station = -1;
    IDeviceDriver* driver = session->Driver();
    if (driver->lpVtbl->CheckStation(driver, options.text.c_str(), &station) != 1) {
        ReportDriverFailure("station '" + options.text + "'", session->ErrorText());
        return kExitFailure;
    }
    std::printf("%d\n", station);
    return kExitOk;
}

int RunParse(const Options& options) {
    int status = kExitOk;
    auto session = Session(options, status);
    if (!session) return status;
    std::uint16_t mask = 0;
    for (const std::string& type : options.types) {
        bool known = false;
        for (std::uint16_t bit = 1; bit <= kTypeString;
             bit = static_cast<std::uint16_t>(bit << 1)) {
            if (type == TypeName(bit)) {
                mask = static_cast<std::uint16_t>(mask | bit);
                known = true;
            }
        }
        if (!known) {
            Diagnose(
                "--types: expected BIT, BYTE, INT, UINT, BCD, LONG, LONGBCD, FLOAT or STRING, "
                "got '" +
                type + "'");
            return kExitUsage;
        }
    }
    if (options.types.empty()) mask = 0xFFFF;
    std::string error;
    auto reg = session->Resolve(options.model, options.text, mask, error);
    if (!reg) {
        ReportDriverFailure("register '" + options.text + "'", error);
        return kExitFailure;
    }
    RecordWriter out(options.format, {"register", "index", "type", "read_only"});
    out.Row({Cell::Text(reg->mnemonic), Cell::Number(reg->index), Cell::Text(TypeName(reg->type)),
             Cell::Text(reg->readOnly ? "yes" : "no")});
    return kExitOk;
}

int RunRegister(const Options& options) {
    if (!options.module.progId.empty()) {
        Diagnose("register: registration runs from the module file; use --module PATH");
        return kExitUsage;
    }
    std::string error;
    const std::string path = options.module.modulePath.empty() ? platform::DefaultModulePath()
                                                               : options.module.modulePath;
    auto module = platform::LoadDriverModule(path, error);
    if (!module || module->RegisterServer() == nullptr) {
        Diagnose("cannot load " + path + ": " + (error.empty() ? "no DllRegisterServer" : error));
        return kExitModule;
    }
    const HRESULT hr = module->RegisterServer()();
    if (hr != S_OK) {
        char code[16];
        std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(hr));
        Diagnose(std::string("registration failed with status ") + code +
                 " (the registry could not be written)");
        return kExitFailure;
    }
    std::printf("registered QM4720.QM4720Pro -> %s\n", path.c_str());
    return kExitOk;
}

int RunProbe(const Options& options) {
    std::vector<int> stations;
    std::string error;
    if (!ParseStationList(options.stations.empty() ? "0-99" : options.stations, stations, error)) {
        Diagnose(error);
        return kExitUsage;
    }
    int status = kExitOk;
    auto session = Session(options, status);
    if (!session || !OpenLine(*session, options, status)) return status;

    // The longest a silent station can take: the write, the pause after it, the reply timeout
    // and one poll interval.
    const int factor = std::max(1, 9600 / std::clamp(options.line.baud, 300, 9600));
    const int timeout = options.line.timeoutMs >= 10 ? options.line.timeoutMs : 1000;
    const double silentSeconds = (8 * 10 + 30 * factor + timeout + 20) / 1000.0;
    std::fprintf(stderr, "probing %zu station(s): at most %.0f s (%.2f s for each silent one)\n",
                 stations.size(), silentSeconds * static_cast<double>(stations.size()),
                 silentSeconds);

    const bool progress = platform::StdoutIsTerminal() && options.format == Format::kText;
    RecordWriter out(options.format == Format::kText ? Format::kJsonl : options.format,
                     {"station", "model", "answered"});
    std::vector<int> found;
    const auto start = std::chrono::steady_clock::now();
    std::size_t done = 0;
    for (int station : stations) {
        if (g_interrupted) break;
        const bool answered = session->Probe(options.model, static_cast<std::int16_t>(station));
        ++done;
        if (answered) {
            found.push_back(station);
            if (options.format == Format::kText) {
                if (progress) std::fprintf(stderr, "\r\x1b[K");
                std::printf("station %d answers\n", station);
                std::fflush(stdout);
            } else {
                out.Row({Cell::Number(station),
                         Cell::Text(options.model.empty() ? "default" : options.model),
                         Cell::Text("yes")});
            }
        }
        if (progress) {
            const double elapsed =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            const double left =
                elapsed / static_cast<double>(done) * static_cast<double>(stations.size() - done);
            std::fprintf(stderr, "\r\x1b[K[%zu/%zu] found %zu, about %.0f s left", done,
                         stations.size(), found.size(), left);
        }
    }
    if (progress) std::fprintf(stderr, "\r\x1b[K");
    if (options.format != Format::kText) out.Finish();
    std::fprintf(stderr, "%zu of %zu station(s) answered%s\n", found.size(), done,
                 g_interrupted ? " (interrupted)" : "");
    if (g_interrupted) return kExitInterrupted;
    return found.empty() ? kExitFailure : kExitOk;
}

int RunRead(const Options& options) {
    int station = 0;
    if (!ParseOneStation(options, "read", station)) return kExitUsage;
    int status = kExitOk;
    auto session = Session(options, status);
    if (!session) return status;
    std::vector<RegisterRef> registers;
    if (!ResolveRegisters(*session, options, registers)) return kExitFailure;
    if (!OpenLine(*session, options, status)) return status;
    RecordWriter out(options.format, {"station", "register", "value", "type", "quality", "time",
                                      "status", "error"});
    bool allOk = true;
    for (const RegisterRef& reg : registers) {
        if (g_interrupted) break;
        const Reading reading =
            session->Read(options.model, static_cast<std::int16_t>(station), reg);
        allOk = allOk && reading.ok;
        out.Row({Cell::Number(station), Cell::Text(reg.mnemonic), ValueCell(reading),
                 Cell::Text(TypeName(reg.type)),
                 reading.ok ? Cell::Number(reading.quality) : Cell::Null(),
                 reading.ok ? Cell::Text(FileTimeIso(reading.fileTime)) : Cell::Null(),
                 Cell::Text(Colored(options, Outcome(reading), reading.ok)),
                 reading.ok ? Cell::Null() : Cell::Text(reading.error)});
        if (!reading.ok) ReportDriverFailure("read " + reg.mnemonic, reading.error);
    }
    out.Finish();
    if (g_interrupted) return kExitInterrupted;
    return allOk ? kExitOk : kExitFailure;
}

int RunWrite(const Options& options) {
    int station = 0;
    if (!ParseOneStation(options, "write", station)) return kExitUsage;
    int status = kExitOk;
    auto session = Session(options, status);
    if (!session) return status;

    struct Assignment {
        RegisterRef reg;
        double value;
    };
    std::vector<Assignment> assignments;
    for (const std::string& text : options.registers) {
        const std::size_t equals = text.find('=');
        double value = 0;
        const char* begin = text.c_str() + (equals == std::string::npos ? 0 : equals + 1);
        const char* end = text.c_str() + text.size();
        const auto parsed = std::from_chars(begin, end, value);
        if (equals == std::string::npos || parsed.ec != std::errc() || parsed.ptr != end ||
            !std::isfinite(value)) {
            Diagnose("write: expected REGISTER=NUMBER such as SP=120.5, got '" + text + "'");
            return kExitUsage;
        }
        auto reg = ResolveRegister(*session, options, text.substr(0, equals));
        if (!reg) return kExitFailure;
        if (reg->readOnly) {
            Diagnose("write: " + reg->mnemonic + " is a read-only register of the meter");
            return kExitUsage;
        }
        if (reg->type == kTypeInt &&
            (value != std::trunc(value) || value < -32768 || value > 32767)) {
            Diagnose("write: " + reg->mnemonic + " is INT: expected a whole number -32768..32767");
            return kExitUsage;
        }
        assignments.push_back({*reg, value});
    }
    if (!OpenLine(*session, options, status)) return status;
    RecordWriter out(options.format,
                     {"station", "register", "value", "status", "read_back", "error"});
    bool allOk = true;
    const auto station16 = static_cast<std::int16_t>(station);
    for (const Assignment& a : assignments) {
        if (g_interrupted) break;
        const Reading written = session->Write(options.model, station16, a.reg, a.value);
        Cell readBack = Cell::Null();
        std::string outcome = written.ok ? "ok" : Outcome(written);
        std::string failure = written.ok ? "" : written.error;
        if (!written.ok && written.error.empty()) {
            failure = "the meter refused the value (NAK)";
            outcome = "refused";
            Diagnose("write " + a.reg.mnemonic + ": " + failure);
        } else if (!written.ok) {
            ReportDriverFailure("write " + a.reg.mnemonic, written.error);
        } else if (options.verify) {
            const Reading back = session->Read(options.model, station16, a.reg);
            if (!back.ok) {
                outcome = "unverified";
                failure = back.error;
                ReportDriverFailure("read back " + a.reg.mnemonic, back.error);
            } else {
                readBack = Cell::Number(back.value);
                if (std::fabs(back.value - a.value) > FieldResolution(a.reg.type, a.value)) {
                    outcome = "mismatch";
                    failure = "read back " + NumberText(back.value);
                    Diagnose("write " + a.reg.mnemonic + ": read back " + NumberText(back.value) +
                             ", not " + NumberText(a.value));
                } else {
                    outcome = "verified";
                }
            }
        }
        const bool good = outcome == "ok" || outcome == "verified";
        allOk = allOk && good;
        out.Row({Cell::Number(station), Cell::Text(a.reg.mnemonic), Cell::Number(a.value),
                 Cell::Text(Colored(options, outcome, good)), readBack,
                 failure.empty() ? Cell::Null() : Cell::Text(failure)});
    }
    out.Finish();
    if (g_interrupted) return kExitInterrupted;
    return allOk ? kExitOk : kExitFailure;
}

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
    auto session = Session(options, status);
    if (!session) return status;
    std::vector<RegisterRef> registers;
    if (!ResolveRegisters(*session, options, registers)) return kExitFailure;
    if (!OpenLine(*session, options, status)) return status;

    const bool live = platform::StdoutIsTerminal() && options.format == Format::kText;
    std::unique_ptr<RecordWriter> out;
    if (!live) {
        out = std::make_unique<RecordWriter>(
            options.format == Format::kText ? Format::kCsv : options.format,
            std::vector<std::string>{"time", "station", "register", "value", "quality", "status",
                                     "latency_ms"});
    }
    int answers = 0, timeouts = 0, replyErrors = 0, otherErrors = 0;
    std::vector<double> latencies;
    std::vector<std::string> lastLines;
    const auto period = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(options.intervalSeconds));
    auto next = std::chrono::steady_clock::now();
    for (int cycle = 0; options.count == 0 || cycle < options.count; ++cycle) {
        if (cycle > 0 && !WaitFor(next)) break;
        next += period;
        std::vector<std::string> lines;
        for (int station : stations) {
            for (const RegisterRef& reg : registers) {
                if (g_interrupted) break;
                const Reading r =
                    session->Read(options.model, static_cast<std::int16_t>(station), reg);
                latencies.push_back(r.latencyMs);
                const std::string outcome = Outcome(r);
                if (r.ok)
                    ++answers;
                else if (outcome == "timeout")
                    ++timeouts;
                else if (outcome == "reply-error")
                    ++replyErrors;
                else
                    ++otherErrors;
                const std::string time = r.ok ? FileTimeIso(r.fileTime) : NowIso();
                if (live) {
                    char line[160];
                    std::snprintf(line, sizeof line, "%-24s %7d  %-4s %12s  %-11s %7.1f ms",
                                  time.c_str(), station, reg.mnemonic.c_str(),
                                  r.ok ? NumberText(r.value).c_str() : "-",
                                  Colored(options, outcome, r.ok).c_str(), r.latencyMs);
                    lines.push_back(line);
                } else {
                    out->Row({Cell::Text(time), Cell::Number(station), Cell::Text(reg.mnemonic),
                              ValueCell(r), r.ok ? Cell::Number(r.quality) : Cell::Null(),
                              Cell::Text(outcome),
                              Cell::Number(std::round(r.latencyMs * 10) / 10)});
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
        if (g_interrupted) break;
    }
    if (out) out->Finish();
    std::sort(latencies.begin(), latencies.end());
    if (!latencies.empty()) {
        std::fprintf(stderr,
                     "%d answer(s), %d timeout(s), %d reply error(s), %d other error(s); latency "
                     "min %.1f / median %.1f / max %.1f ms\n",
                     answers, timeouts, replyErrors, otherErrors, latencies.front(),
                     latencies[latencies.size() / 2], latencies.back());
    }
    if (g_interrupted) return kExitInterrupted;
    return timeouts + replyErrors + otherErrors == 0 ? kExitOk : kExitFailure;
}

}  // namespace ctl
