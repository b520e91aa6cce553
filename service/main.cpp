// qm4720d: polls every configured serial line at once through the driver module, keeps the live
// table and the history, and serves the live values over Modbus TCP (one listener per line that
// configures one, unit identifier = station) and HTTP (a web page, a JSON interface and
// Prometheus metrics), and publishes every new reading to an MQTT broker when [mqtt] names one.
// Configured by one TOML file (/etc/qm4720d.toml as installed; examples/qm4720d.toml has every
// key).
//
// Signals: SIGTERM and SIGINT end it (the exchange in progress finishes, the history is committed,
// exit 0); SIGHUP reads the file again and restarts the lines and listeners with it, or keeps the
// running configuration when the new file is refused or one of its listeners cannot listen.
// Under systemd (Type=notify) it reports READY=1 once the lines run and WATCHDOG=1 at half the
// unit's WatchdogSec.
#include <signal.h>

#include <systemd/sd-daemon.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>

#include <CLI/CLI.hpp>
#include <qm4720_build_info.h>

#include "service/core/access_config.h"
#include "service/core/health.h"
#include "service/core/service_log.h"
#include "service/core/service_runtime.h"
#include "service/outputs.h"

namespace {

using service::Log;
using service::LogLevel;

enum ExitStatus : int { kExitOk = 0, kExitFailure = 1, kExitUsage = 2, kExitModule = 3 };

constexpr const char* kFooter =
    "Examples:\n"
    "  qm4720d --config /etc/qm4720d.toml\n"
    "  qm4720d --check-config /etc/qm4720d.toml\n"
    "Exit status: 0 stopped by SIGTERM or SIGINT (or the file is good, with --check-config),\n"
    "1 the history database could not be opened or a Modbus or HTTP listener could not listen\n"
    "(the message names address:port), 2 usage error or a refused configuration\n"
    "(the message names file:line: key), 3 the driver module could not be loaded.\n"
    "SIGHUP reloads the configuration; a refused one (a bad file, a history database that\n"
    "cannot be opened, or a Modbus port that cannot be listened on) is logged and the running one\n"
    "kept whole. --check-config warns when the history's folder is missing or cannot be written.";

using HistoryHandle = std::shared_ptr<service::HistoryWriter>;

// The history database of `config` in `writer`: `current` when it is the same file, null when
// none is kept. False with `error` set when the database cannot be opened.
bool HistoryFor(const service::ServiceConfig& config, const HistoryHandle& current,
                HistoryHandle& writer, std::string& error) {
    const service::HistoryConfig& wanted = config.history;
    writer.reset();
    if (wanted.database.empty()) return true;
    if (current != nullptr && current->path() == wanted.database) {
        writer = current;
        return true;
    }
    writer = service::HistoryWriter::Open(wanted.database, wanted.retention, error);
    return writer != nullptr;
}

void LogConfigWarnings(const service::ServiceConfig& config) {
    for (const std::string& warning : service::HistoryPlaceWarnings(config.history)) {
        Log(LogLevel::kWarning, warning);
    }
    for (const std::string& warning : service::CertificateWarnings(
             config.http.access, config.mqtt.access, std::chrono::system_clock::now())) {
        Log(LogLevel::kWarning, warning);
    }
}

// One running configuration: the runtime holds its lines and the outputs that outputs.cpp lists,
// and starts and stops them in their order.
using Running = std::unique_ptr<service::ServiceRuntime>;

// "address:port", with an IPv6 address in brackets.
std::string Endpoint(const std::string& address, std::uint16_t port) {
    const bool v6 = address.find(':') != std::string::npos;
    return (v6 ? "[" + address + "]" : address) + ":" + std::to_string(port);
}

// Where every listener of `config` listens, and the broker it publishes to, once they started.
void LogListeners(const service::ServiceConfig& config) {
    for (const auto& line : config.lines) {
        if (line.modbus.port == 0) continue;
        Log(LogLevel::kNotice, "line " + line.name + ": Modbus TCP listening on " +
                                   Endpoint(line.modbus.address, line.modbus.port));
    }
    if (config.http.port != 0) {
        Log(LogLevel::kNotice,
            std::string(config.http.access.Tls() ? "HTTPS" : "HTTP") + " listening on " +
                Endpoint(config.http.address, config.http.port) + " (page, /api/v1, /metrics)");
    }
    if (!config.mqtt.host.empty()) {
        const service::SparkplugConfig& spb = config.mqtt.sparkplug;
        Log(LogLevel::kNotice,
            "MQTT: publishing to the broker at " + Endpoint(config.mqtt.host, config.mqtt.port) +
                (spb.enabled ? " as Sparkplug B node spBv1.0/" + spb.groupId + "/" + spb.edgeNodeId
                             : " under " + config.mqtt.prefix + "/"));
    }
}

// Starts the lines of `config` and their outputs; null with `error` set when an output cannot
// start (nothing of this configuration is left running then).
Running StartConfiguration(const service::ServiceConfig& config, const std::string& modulePath,
                           const HistoryHandle& history, std::string& error) {
    auto running = std::make_unique<service::ServiceRuntime>(config, modulePath);
    service::AddOutputs(*running, config, history);
    if (!running->Start(error)) return nullptr;
    LogListeners(config);
    return running;
}

bool ReadConfig(const std::string& path, const std::string& modulePath,
                service::ServiceConfig& config, int& status) {
    std::string error;
    // Register names are checked by the driver's own ParseRegister, in a session of this thread.
    qm4720::Driver driver;
    if (const qm4720::Error loaded = driver.Load(modulePath, "")) {
        Log(LogLevel::kError, "cannot load the driver module: " + loaded.driverText);
        status = kExitModule;
        return false;
    }
    if (!service::LoadConfig(path, driver, modulePath, config, error)) {
        Log(LogLevel::kError, "configuration refused: " + error);
        status = kExitUsage;
        return false;
    }
    return true;
}

int Run(const std::string& path, const std::string& modulePath) {
    // The signals are taken by this thread alone, in sigtimedwait below; every thread started from
    // here inherits the blocked mask.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    // A TLS peer that closes while an answer is written is an error of that write (OpenSSL writes
    // the socket without MSG_NOSIGNAL), never the end of the service.
    signal(SIGPIPE, SIG_IGN);

    service::ServiceConfig config;
    int status = kExitOk;
    if (!ReadConfig(path, modulePath, config, status)) return status;
    std::string error;
    LogConfigWarnings(config);
    HistoryHandle history;
    if (!HistoryFor(config, nullptr, history, error)) {
        Log(LogLevel::kError, error);
        return kExitFailure;
    }
    auto running = StartConfiguration(config, modulePath, history, error);
    if (running == nullptr) {
        Log(LogLevel::kError, "cannot start: " + error);
        return kExitFailure;
    }
    Log(LogLevel::kNotice, "running " + path + ": " + std::to_string(config.lines.size()) +
                               " line(s)" + (history ? ", history in " + history->path() : ""));
    sd_notify(0, "READY=1");

    std::uint64_t watchdogUs = 0;
    const bool watchdog = sd_watchdog_enabled(0, &watchdogUs) > 0;
    const long waitMs = watchdog ? static_cast<long>(watchdogUs / 2000) : 1000;
    for (;;) {
        const timespec timeout{waitMs / 1000, (waitMs % 1000) * 1000000};
        const int signal = sigtimedwait(&signals, nullptr, &timeout);
        // Alive: every worker came round within its longest exchange (a reply timeout and the
        // reply on the wire) and a second more.
        std::chrono::milliseconds longest{0};
        for (const auto& line : config.lines) {
            longest = std::max(longest, service::WorkerStuckAfter(line));
        }
        if (watchdog && running->Alive(longest)) {
            sd_notify(0, "WATCHDOG=1");
        }
        if (signal == SIGTERM || signal == SIGINT) break;
        if (signal != SIGHUP) continue;

        sd_notify(0, "RELOADING=1");
        service::ServiceConfig next;
        int ignored = 0;
        HistoryHandle nextHistory;
        // Everything of the new file that can fail before the running one is stopped is tried
        // first, so that a reload is taken whole or refused whole.
        if (!ReadConfig(path, modulePath, next, ignored)) {
            Log(LogLevel::kError, "reload refused; the running configuration stays");
        } else if (!HistoryFor(next, history, nextHistory, error)) {
            Log(LogLevel::kError, "reload refused: " + error + "; the running configuration stays" +
                                      (history ? ", its history in " + history->path() : ""));
        } else {
            LogConfigWarnings(next);
            // The lines, then the outputs, stop before the new ones open the same ports.
            running.reset();
            running = StartConfiguration(next, modulePath, nextHistory, error);
            if (running != nullptr) {
                config = std::move(next);
                history = std::move(nextHistory);
                // The same database kept open takes the new file's retention.
                if (history != nullptr) history->SetRetention(config.history.retention);
                Log(LogLevel::kNotice, "configuration reloaded from " + path);
            } else {
                // A port the new file names is taken: the running configuration is started again
                // (its own ports were free a moment ago), with its own history.
                Log(LogLevel::kError,
                    "reload refused: " + error + "; the running configuration is started again");
                nextHistory.reset();
                running = StartConfiguration(config, modulePath, history, error);
                if (running == nullptr) {
                    Log(LogLevel::kError, "cannot start the running configuration again: " + error);
                    sd_notify(0, "STOPPING=1");
                    return kExitFailure;
                }
            }
        }
        sd_notify(0, "READY=1");
    }
    sd_notify(0, "STOPPING=1");
    running.reset();  // the workers finish their exchanges, then the outputs stop in reverse
    history.reset();
    Log(LogLevel::kNotice, "stopped");
    return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"qm4720d: polls QM4720 meters on serial lines, keeps their values and history"};
    app.footer(kFooter);
    app.set_version_flag("--version", std::string("qm4720d ") + QM4720_VERSION,
                         "print the version and exit");
    std::string configPath;
    std::string checkPath;
    std::string modulePath;
    auto* config = app.add_option("--config", configPath, "the configuration to run (TOML)")
                       ->type_name("FILE");
    app.add_option("--check-config", checkPath,
                   "only check FILE: print 'FILE: ok' and exit 0, or the refusal and exit 2")
        ->type_name("FILE")
        ->excludes(config);
    app.add_option("--module", modulePath,
                   "driver module to load (default: beside this program, else the installed one)")
        ->type_name("PATH");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? kExitOk : kExitUsage;
    }
    if (!checkPath.empty()) {
        service::ServiceConfig checked;
        int status = kExitOk;
        if (!ReadConfig(checkPath, modulePath, checked, status)) return status;
        // Said, not refused: the unit's StateDirectory= makes the folder only when it starts.
        for (const std::string& warning : service::HistoryPlaceWarnings(checked.history)) {
            std::fprintf(stderr, "%s: warning: %s\n", checkPath.c_str(), warning.c_str());
        }
        for (const std::string& warning : service::CertificateWarnings(
                 checked.http.access, checked.mqtt.access, std::chrono::system_clock::now())) {
            std::fprintf(stderr, "%s: warning: %s\n", checkPath.c_str(), warning.c_str());
        }
        std::printf("%s: ok\n", checkPath.c_str());
        return kExitOk;
    }
    if (configPath.empty()) {
        std::fprintf(stderr,
                     "qm4720d: --config FILE is required\nRun with --help for more "
                     "information.\n");
        return kExitUsage;
    }
    return Run(configPath, modulePath);
}
