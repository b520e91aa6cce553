// probe: the stations that answer on a line and, with --emit-config, the qm4720d configuration
// for them, each station's model told by a read that only that model answers.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>

#include "host/client/port_problem.h"
#include "host/oskit/system_text.h"
#include "tools/ctl/command_support.h"
#include "tools/ctl/emit_config.h"
#include "tools/ctl/interrupt.h"

namespace ctl {

namespace {

constexpr const char* kQM4720N = "QM4720N";

// Points the driver's register names at `model`'s table; the open port stays open.
bool SelectModel(qm4720::Driver& driver, const Options& options, const std::string& model) {
    const qm4720::Error error = options.module.progId.empty()
                                    ? driver.Load(options.module.modulePath, model)
                                    : driver.LoadByProgId(options.module.progId, model);
    if (error) Diagnose("cannot select model " + model + ": " + error.driverText);
    return !error;
}

// The model of `station`: the one whose telling register it answers. A meter is silent on a
// register its table does not have, so a read of the other model's costs one reply timeout.
std::optional<std::string> ModelOf(qm4720::Driver& driver, const Options& options, int station,
                                   const TellingRegisters& telling) {
    const std::pair<std::string, std::string> tries[] = {{"", telling.defaultModel},
                                                         {kQM4720N, telling.qm4720n}};
    for (const auto& [model, reg] : tries) {
        if (reg.empty() || Interrupted() || !SelectModel(driver, options, model)) continue;
        if (driver.Read(station, reg).ok()) return model.empty() ? "default" : model;
    }
    return std::nullopt;
}

bool WriteConfig(const std::string& path, const std::string& text) {
    if (path == "-") {
        std::fputs(text.c_str(), stdout);
        return std::fflush(stdout) == 0;
    }
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << text;
    file.close();
    if (!file) Diagnose("--emit-config " + path + ": cannot be written");
    return static_cast<bool>(file);
}

}  // namespace

int RunProbe(const Options& options) {
    std::vector<int> stations;
    std::string error;
    const std::string probed = options.stations.empty() ? "0-99" : options.stations;
    if (!ParseStationList(probed, stations, error)) {
        Diagnose(error);
        return kExitUsage;
    }
    const bool emit = !options.emitConfigPath.empty();
    if (emit && !(options.intervalSeconds >= 0.001 && options.intervalSeconds <= 86400)) {
        Diagnose("--interval: expected 0.001..86400 seconds");
        return kExitUsage;
    }
    int status = kExitOk;
    const auto line = OpenLineSession(options, status);
    if (!line) return status;
    qm4720::Driver& driver = line->driver();
    const TellingRegisters telling = FindTellingRegisters(driver.Table(""), driver.Table(kQM4720N));

    // The longest a silent station can take: the write, the pause after it, the reply timeout
    // and one poll interval.
    const int factor = std::max(1, 9600 / std::clamp(options.line.baud, 300, 9600));
    const int timeout = options.line.timeoutMs >= 10 ? options.line.timeoutMs : 1000;
    const double silentSeconds = (8 * 10 + 30 * factor + timeout + 20) / 1000.0;
    // Rounded up: a short run is "at most 1 s", never "at most 0 s".
    std::fprintf(stderr, "probing %zu station(s): at most %.0f s (%.2f s for each silent one)\n",
                 stations.size(), std::ceil(silentSeconds * static_cast<double>(stations.size())),
                 silentSeconds);
    if (emit) {
        std::fprintf(stderr,
                     "the model of each station that answers is told by a read of %s (only the "
                     "default model has it) or %s (only the QM4720N)\n",
                     telling.defaultModel.c_str(), telling.qm4720n.c_str());
    }

    const bool progress = host::StdoutIsTerminal() && options.format == Format::kText && !emit;
    // With --emit-config stdout may be the file: what is found goes to stderr.
    RecordWriter out(options.format == Format::kText || emit ? Format::kJsonl : options.format,
                     {"station", "model", "answered"});
    std::vector<int> found;
    std::vector<ProbedStation> identified;
    const auto start = std::chrono::steady_clock::now();
    std::size_t done = 0;
    for (int station : stations) {
        if (Interrupted()) break;
        const bool answered = !driver.Probe({station, station}).answered.empty();
        ++done;
        if (answered) {
            found.push_back(station);
            if (emit) {
                ProbedStation entry{station, ModelOf(driver, options, station, telling)};
                std::fprintf(stderr, "[%zu/%zu] station %d answers: model %s\n", done,
                             stations.size(), station,
                             entry.model ? entry.model->c_str() : "unknown");
                identified.push_back(std::move(entry));
                // The probe itself reads the first register, which both tables share.
                if (!SelectModel(driver, options, options.model)) return kExitModule;
            } else if (options.format == Format::kText) {
                if (progress) std::fprintf(stderr, "\r\x1b[K");
                std::printf("station %d answers\n", station);
                std::fflush(stdout);
            } else {
                out.Row({Cell::Number(station),
                         Cell::Text(options.model.empty() ? "default" : options.model),
                         Cell::Bool(true)});
            }
        } else if (emit && done % 10 == 0) {
            std::fprintf(stderr, "[%zu/%zu] probed\n", done, stations.size());
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
    if (options.format != Format::kText && !emit) out.Finish();
    std::fprintf(stderr, "%zu of %zu station(s) answered%s\n", found.size(), done,
                 Interrupted() ? " (interrupted)" : "");
    if (Interrupted()) return kExitInterrupted;
    if (emit) {
        EmitSettings settings;
        settings.lineName =
            options.lineName.empty() ? LineNameOf(options.line.port) : options.lineName;
        settings.port = options.line.port;
        // qm4720d takes the driver's 31 characters of a port name, as probe itself does.
        if (settings.port.size() > qm4720::kPortNameMax) {
            settings.port = host::PortDeviceName(options.line.port);
            settings.portNote = options.line.port + " is longer than the " +
                                std::to_string(qm4720::kPortNameMax) +
                                " characters of a port name: the device it names is written";
        }
        settings.line.baud = options.line.baud;
        settings.line.dataBits = options.line.dataBits;
        settings.line.stopBits = options.line.stopBits;
        settings.line.replyTimeoutMs = timeout;
        qm4720::ParseParity(options.line.parity, settings.line.parity);
        settings.intervalSeconds = options.intervalSeconds;
        settings.httpPort = options.httpPort;
        settings.modbusPort = options.modbusPort;
        settings.probedStations = probed;
        settings.telling = telling;
        if (!WriteConfig(options.emitConfigPath, EmitConfig(settings, identified))) {
            return kExitFailure;
        }
    }
    return found.empty() ? kExitFailure : kExitOk;
}

}  // namespace ctl
