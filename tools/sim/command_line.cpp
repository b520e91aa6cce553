#include "tools/sim/command_line.h"

#include <cstdio>

#include <CLI/CLI.hpp>

namespace sim {
namespace {

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
  unstored     a write acknowledged but not stored (a meter held in local operation)
--script ok,timeout,bad-bcc gives the faults of the first replies in order; then the rates apply.

Configuration file (--config), every key optional:
  {"seed": 7,
   "stations": [{"station": 1, "model": "default", "values": {"SP": 120.5, "PN": 2}},
                {"station": 12, "model": "QM4720N"}],
   "faults": {"timeout": 0.1, "bad-bcc": 0.05}}

On start it prints PORT=<device to open> and READY on stdout. SIGINT or SIGTERM ends it; it then
prints its counts (requests per station, replies, faults injected, seed) on stderr, and, on a
pseudo-terminal, the line settings the other end gave it (-v: at each change).
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

void DefineCommandLine(CLI::App& app, Options& options) {
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
}

int UsageError(const std::string& message) {
    std::fprintf(stderr, "%s: %s\nRun with --help for more information.\n", kProgram,
                 message.c_str());
    return kUsageError;
}

}  // namespace sim
