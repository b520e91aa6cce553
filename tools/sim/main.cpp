// qm4720sim: plays one or more instruments on a serial line (a new pseudo-terminal or a real
// device) so that the driver and its hosts can run without hardware; or, with --forward, sits
// between a new pseudo-terminal and a real instrument and traces what passes.
#include <cstdio>
#include <memory>
#include <string>

#include <CLI/CLI.hpp>
#include <qm4720_build_info.h>

#include "host/oskit/serial_line.h"
#include "tools/sim/command_line.h"
#include "tools/sim/serve.h"
#include "tools/sim/simulation.h"

using sim::kProgram;
using sim::kUsageError;
using sim::UsageError;

int main(int argc, char** argv) {
    sim::Options options;
    CLI::App app{"Simulates QM4720 process meters on a pseudo-terminal or serial device.",
                 kProgram};
    sim::DefineCommandLine(app, options);
    app.set_version_flag("--version", std::string(kProgram) + " " + QM4720_VERSION,
                         "Print the version and exit");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int rc = app.exit(e);
        return rc == 0 ? 0 : kUsageError;
    }
    options.seedGiven = app.count("--seed") > 0;

    host::LineSettings line;
    line.baud = options.baud;
    line.dataBits = options.dataBits;
    line.stopBits = options.stopBits;
    host::ParseParity(options.parity, line.parity);
    if ((!options.devicePath.empty() || !options.forwardPath.empty()) &&
        !host::IsSupportedBaud(options.baud)) {
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
    host::StopSignal stop;
    if (!host::RaiseOnTerminationSignals(stop)) {
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
        return sim::RunForward(options, line, stop);
    }

    sim::Simulation simulation;
    std::string error;
    if (!sim::BuildSimulation(options, simulation, error)) return UsageError(error);

    if (!options.devicePath.empty()) {
        const std::unique_ptr<host::SerialLine> device =
            host::OpenSerialLine(options.devicePath, line, error);
        if (device == nullptr) {
            std::fprintf(stderr, "%s: %s\n", kProgram, error.c_str());
            return 1;
        }
        sim::Announce(options.devicePath);
        return sim::Serve(*device, options, simulation, stop);
    }
    const std::unique_ptr<host::PseudoTerminal> pty = host::OpenPseudoTerminal(
        error, options.rawPty ? host::PtySettings::kRaw : host::PtySettings::kKernelDefaults);
    if (pty == nullptr || (!options.linkPath.empty() && !pty->MakeLink(options.linkPath, error))) {
        std::fprintf(stderr, "%s: %s\n", kProgram, error.c_str());
        return 1;
    }
    sim::Announce(pty->path());
    return sim::Serve(pty->line(), options, simulation, stop, pty.get());
}
