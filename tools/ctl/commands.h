// The subcommands of qm4720ctl and the options they share.
#pragma once

#include <string>
#include <vector>

#include "tools/ctl/output.h"

namespace ctl {

// Exit statuses, documented in --help.
enum ExitStatus : int {
    kExitOk = 0,
    kExitFailure = 1,  // the instrument or the driver reported a failure
    kExitUsage = 2,    // the command line is wrong
    kExitModule = 3,   // the module could not be loaded or the driver object created
    kExitInterrupted = 130,
};

// How the driver module is found.
struct ModuleOptions {
    std::string modulePath;  // load this file ("" : the default module)
    std::string progId;      // or, when not empty, activate by programmatic identifier
};

struct PortOptions {
    std::string port;
    int baud = 9600;
    int dataBits = 8;
    std::string parity = "none";
    int stopBits = 1;
    int timeoutMs = 1500;
    bool trace = false;
};

struct Options {
    ModuleOptions module;
    Format format = Format::kText;
    TimeStyle time = TimeStyle::kUtc;
    std::string outputPath;  // --output: "" is stdout
    bool color = false;      // colour only on a terminal and never with NO_COLOR
    std::string model;       // "" is the default model
    PortOptions line;

    // Subcommand arguments.
    std::string text;                    // check-station TEXT, parse REGISTER
    std::vector<std::string> types;      // parse --types
    std::vector<std::string> registers;  // read / write / poll
    std::string stations;                // "1", "1,3-5", "0-99"
    double intervalSeconds = 1.0;
    int count = 0;      // poll: 0 = until interrupted
    bool wide = false;  // poll --wide: one CSV row a cycle
    bool verify = false;
    int retries = 0;        // read / poll: further attempts at a reading that failed
    std::string simulator;  // demo: path of qm4720sim
    // probe --emit-config: where the configuration goes ("": none, "-": stdout), and its parts.
    std::string emitConfigPath;
    std::string lineName;  // "": the port's basename
    int httpPort = 8080;
    int modbusPort = 5020;  // 0: the listener commented out
};

int RunPorts(const Options& options);
int RunTables(const Options& options);
int RunCheckStation(const Options& options);
int RunParse(const Options& options);
int RunRegister(const Options& options);
int RunProbe(const Options& options);
int RunRead(const Options& options);
int RunWrite(const Options& options);
int RunPoll(const Options& options);
int RunDemo(const Options& options);

// "1,3-5" -> 1 3 4 5; false with `error` set on a malformed list or a station outside 0..99.
bool ParseStationList(const std::string& text, std::vector<int>& stations, std::string& error);

}  // namespace ctl
