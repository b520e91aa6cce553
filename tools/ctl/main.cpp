// qm4720ctl: a host for the driver module on the command line. It loads the module the way a
// host does, creates the driver object through the class factory and calls it through its two
// interfaces only.
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include <CLI/CLI.hpp>
#include <qm4720_build_info.h>

#include "host/oskit/system_text.h"
#include "tools/ctl/commands.h"
#if QM_CTL_HISTORY
#include "tools/ctl/history_command.h"
#endif
#include "tools/ctl/interrupt.h"

namespace {

constexpr const char* kExitHelp =
    "Exit status: 0 success, 1 the instrument or the driver reported a failure, 2 usage error,\n"
    "3 the module could not be loaded or the driver object created, 130 interrupted (Ctrl-C,\n"
    "SIGTERM or SIGHUP: the results so far are printed as a complete document).\n"
    "Results go to stdout, diagnostics to stderr; times are UTC ISO 8601 unless --time says\n"
    "otherwise.";

void AddPortOptions(CLI::App& command, ctl::Options& o) {
    command
        .add_option("--port", o.line.port,
                    "serial device, e.g. /dev/ttyUSB0 or COM3, or a serial device server's "
                    "port: tcp://HOST:PORT, rfc2217://HOST:PORT (Linux)")
        ->group("Serial line");
    command.add_option("--baud", o.line.baud, "baud rate, 300..9600")
        ->capture_default_str()
        ->check(CLI::Range(300, 9600))
        ->group("Serial line");
    command.add_option("--data-bits", o.line.dataBits, "data bits")
        ->capture_default_str()
        ->check(CLI::Range(5, 8))
        ->group("Serial line");
    command.add_option("--parity", o.line.parity, "none, odd, even, mark or space")
        ->capture_default_str()
        ->check(CLI::IsMember({"none", "odd", "even", "mark", "space"}))
        ->group("Serial line");
    command.add_option("--stop-bits", o.line.stopBits, "1 or 2")
        ->capture_default_str()
        ->check(CLI::IsMember({1, 2}))
        ->group("Serial line");
    // The driver holds the reply timeout in 16 bits and reads below 10 ms as 1000 ms.
    command
        .add_option("--timeout", o.line.timeoutMs, "reply timeout in ms, 0..32767 (below 10: 1000)")
        ->capture_default_str()
        ->check(CLI::Range(0, 32767))
        ->group("Serial line");
    command
        .add_flag("--trace", o.line.trace,
                  "show every frame between the driver and the line on stderr (Linux)")
        ->group("Serial line");
}

void AddRetriesOption(CLI::App& command, ctl::Options& o) {
    command
        .add_option("--retries", o.retries, "read a failed register again, up to N times, 0..10")
        ->capture_default_str()
        ->check(CLI::Range(0, 10));
}

void AddModelOption(CLI::App& command, ctl::Options& o) {
    command.add_option("--model", o.model, "meter model: QM4720N, or empty for the default model");
}

// The subcommands: each adds its options to the program and names the function that runs it. A
// new subcommand is one more line in kSubcommands.
struct Subcommand {
    CLI::App* (*add)(CLI::App& app, ctl::Options& o);
    int (*run)(const ctl::Options& o);
};

CLI::App* AddPorts(CLI::App& app, ctl::Options&) {
    auto* ports = app.add_subcommand("ports", "list the serial ports of this machine");
    ports->footer(
        "Columns: port, driver (the kernel's), usb_vendor, usb_product, serial_number, by_id (the\n"
        "stable names, separated by spaces), description; empty where the system does not know.\n"
        "Example: qm4720ctl ports --format json");
    return ports;
}

CLI::App* AddTables(CLI::App& app, ctl::Options& o) {
    auto* tables = app.add_subcommand("tables", "list a model's register table");
    AddModelOption(*tables, o);
    tables->footer("Example: qm4720ctl tables --model QM4720N --format csv");
    return tables;
}

CLI::App* AddCheckStation(CLI::App& app, ctl::Options& o) {
    auto* checkStation = app.add_subcommand("check-station", "validate a station text");
    checkStation->add_option("TEXT", o.text, "one or two decimal digits")->required();
    checkStation->footer("Example: qm4720ctl check-station 07");
    return checkStation;
}

CLI::App* AddParse(CLI::App& app, ctl::Options& o) {
    auto* parse = app.add_subcommand("parse", "validate a register text for a tag");
    parse->add_option("REGISTER", o.text, "register mnemonic, e.g. PV")->required();
    AddModelOption(*parse, o);
    parse
        ->add_option("--types", o.types,
                     "data types the tag accepts, e.g. INT,FLOAT (default: all)")
        ->delimiter(',');
    parse->footer("Example: qm4720ctl parse SP --model QM4720N --types FLOAT");
    return parse;
}

CLI::App* AddRegister(CLI::App& app, ctl::Options&) {
    auto* reg = app.add_subcommand("register", "register the module (self-registration)");
    reg->footer("Example: qm4720ctl --module build/qm4720.so register");
    return reg;
}

CLI::App* AddProbe(CLI::App& app, ctl::Options& o) {
    auto* probe = app.add_subcommand("probe", "find the stations that answer on a line");
    AddModelOption(*probe, o);
    AddPortOptions(*probe, o);
    probe->add_option("--stations", o.stations,
                      "stations to try, e.g. 0-99 or 1,3-5 (default 0-99)");
    probe
        ->add_option("--emit-config", o.emitConfigPath,
                     "write a qm4720d configuration for the stations that answer to FILE, or to "
                     "stdout with - or no FILE")
        ->type_name("[FILE|-]")
        ->expected(0, 1)
        ->default_str("-");
    probe->add_option("--interval", o.intervalSeconds, "--emit-config: poll interval in seconds")
        ->capture_default_str()
        ->check(CLI::Range(0.001, 86400.0));
    probe->add_option("--line-name", o.lineName,
                      "--emit-config: the line's name (default: the port's basename)");
    probe->add_option("--http-port", o.httpPort, "--emit-config: the HTTP listener's port")
        ->capture_default_str()
        ->check(CLI::Range(1, 65535));
    probe
        ->add_option("--modbus-port", o.modbusPort,
                     "--emit-config: the Modbus TCP listener's port (0: written commented out)")
        ->capture_default_str()
        ->check(CLI::Range(0, 65535));
    probe->footer(
        "With --emit-config, each station that answers is asked for a register that only one\n"
        "model's table has (the first of the default model's table that the QM4720N's lacks,\n"
        "and the other way round; a meter is silent on a register it does not have): the one it\n"
        "answers is its model. A station that answers neither is written as a comment, model\n"
        "unknown. Every station found is polled for PV, OP and SP at --interval, nothing is\n"
        "writable, and HTTP and Modbus TCP listen on 127.0.0.1; progress goes to stderr.\n"
        "Example: qm4720ctl probe --port /dev/ttyUSB0 --stations 1-10\n"
        "         qm4720ctl probe --port /dev/ttyUSB0 --emit-config qm4720d.toml");
    return probe;
}

CLI::App* AddRead(CLI::App& app, ctl::Options& o) {
    auto* read = app.add_subcommand("read", "read registers of one station");
    read->add_option("REGISTER", o.registers, "register mnemonics, e.g. PV SP")->required();
    read->add_option("--station", o.stations, "station number 0..99")->required();
    AddRetriesOption(*read, o);
    AddModelOption(*read, o);
    AddPortOptions(*read, o);
    read->footer("Example: qm4720ctl read PV SP --station 1 --port /dev/ttyUSB0");
    return read;
}

CLI::App* AddWrite(CLI::App& app, ctl::Options& o) {
    auto* write = app.add_subcommand("write", "write registers of one station");
    write->add_option("ASSIGNMENT", o.registers, "REGISTER=VALUE, e.g. SP=120.5")->required();
    write->add_option("--station", o.stations, "station number 0..99")->required();
    write->add_flag("--verify", o.verify, "read each register back after writing it");
    AddModelOption(*write, o);
    AddPortOptions(*write, o);
    write->footer("Example: qm4720ctl write SP=120.5 --station 1 --port /dev/ttyUSB0 --verify");
    return write;
}

CLI::App* AddPoll(CLI::App& app, ctl::Options& o) {
    auto* poll = app.add_subcommand("poll", "read registers of stations repeatedly");
    poll->add_option("REGISTER", o.registers, "register mnemonics")->required();
    poll->add_option("--station", o.stations, "stations, e.g. 1,3-5")->required();
    poll->add_option("--interval", o.intervalSeconds, "seconds between cycles, 0..86400")
        ->capture_default_str()
        ->check(CLI::Validator(
            [](const std::string& text) -> std::string {
                double seconds = -1;
                const auto r = std::from_chars(text.data(), text.data() + text.size(), seconds);
                // Written as a negation so that nan is refused too.
                const bool ok = r.ec == std::errc() && r.ptr == text.data() + text.size() &&
                                seconds >= 0 && seconds <= 86400;
                return ok ? std::string() : "expected seconds 0..86400, got '" + text + "'";
            },
            "SECONDS"));
    poll->add_option("--count", o.count, "number of cycles (0: until Ctrl-C)")
        ->capture_default_str()
        ->check(CLI::NonNegativeNumber);
    poll->add_flag("--wide", o.wide,
                   "with --format csv: one row a cycle, a column per station and register "
                   "(1:PV,1:SV,2:PV); a failed reading is an empty cell");
    AddRetriesOption(*poll, o);
    AddModelOption(*poll, o);
    AddPortOptions(*poll, o);
    poll->footer(
        "A line that is lost (the device unplugged, the other end gone) is reopened after 1 s,\n"
        "then after twice as long each time up to 30 s; stderr says when it is lost and when it\n"
        "is back, and every reading in between is a failed row with the reason in its error.\n"
        "Example: qm4720ctl poll PV OP --station 1-3 --interval 1 --count 10 --port /dev/ttyUSB0");
    return poll;
}

CLI::App* AddDemo(CLI::App& app, ctl::Options& o) {
    auto* demo = app.add_subcommand("demo", "run a walk through the driver against the simulator");
    demo->add_option("--sim", o.simulator, "path of qm4720sim (default: beside this program)");
    demo->footer("Example: qm4720ctl demo");
    return demo;
}

constexpr Subcommand kSubcommands[] = {
    {AddPorts, ctl::RunPorts},
    {AddTables, ctl::RunTables},
    {AddCheckStation, ctl::RunCheckStation},
    {AddParse, ctl::RunParse},
    {AddRegister, ctl::RunRegister},
    {AddProbe, ctl::RunProbe},
    {AddRead, ctl::RunRead},
    {AddWrite, ctl::RunWrite},
    {AddPoll, ctl::RunPoll},
    {AddDemo, ctl::RunDemo},
};

}  // namespace

int main(int argc, char** argv) {
    ctl::Options o;
    std::string format = "text";
    std::string time = "utc";

    CLI::App app{"qm4720ctl: drive QM4720 meters through the qm4720 driver module"};
    app.footer(kExitHelp);
    app.set_version_flag("--version", std::string("qm4720ctl ") + QM4720_VERSION,
                         "print the version and exit");
    app.require_subcommand(1);
    // Options of the program may also follow the subcommand: read PV --station 1 --format json.
    app.fallthrough();
    app.add_option("--module", o.module.modulePath,
                   "driver module to load (default: beside this program, else the installed one)");
    app.add_option("--progid", o.module.progId,
                   "create the driver by programmatic identifier through the registry, e.g. "
                   "QM4720.QM4720Pro");
    app.add_option("--output", o.outputPath,
                   "write the results to FILE instead of stdout (poll: each row as it comes); "
                   "opened once every check has passed")
        ->type_name("FILE");
    app.add_option("--format", format, "output: text, csv, json or jsonl")
        ->check(CLI::IsMember({"text", "csv", "json", "jsonl"}));
    app.add_option("--time", time,
                   "times as utc (ISO 8601, the default), local (ISO 8601 with the offset) or "
                   "epoch (seconds since 1970 with milliseconds)")
        ->check(CLI::IsMember({"utc", "local", "epoch"}));

    std::vector<std::pair<CLI::App*, int (*)(const ctl::Options&)>> commands;
    for (const Subcommand& subcommand : kSubcommands)
        commands.emplace_back(subcommand.add(app, o), subcommand.run);

#if QM_CTL_HISTORY
    ctl::HistoryOptions historyOptions;
    auto* history = ctl::AddHistoryCommand(app, historyOptions);
#endif

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int status = app.exit(e);
        return status == 0 ? 0 : ctl::kExitUsage;
    }

    o.format = format == "csv"     ? ctl::Format::kCsv
               : format == "json"  ? ctl::Format::kJson
               : format == "jsonl" ? ctl::Format::kJsonl
                                   : ctl::Format::kText;
    o.time = time == "local"   ? ctl::TimeStyle::kLocal
             : time == "epoch" ? ctl::TimeStyle::kEpoch
                               : ctl::TimeStyle::kUtc;
    // --output is opened by each command once its checks have passed (ctl::RedirectOutput).
    o.color = o.outputPath.empty() && host::StdoutIsTerminal() &&
              std::getenv("NO_COLOR") == nullptr && o.format == ctl::Format::kText;
    ctl::CatchInterrupt();

    for (const auto& [command, run] : commands) {
        if (*command) return run(o);
    }
#if QM_CTL_HISTORY
    if (*history) return ctl::RunHistory(historyOptions, o);
#endif
    return ctl::kExitUsage;
}
