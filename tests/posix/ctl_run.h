// Running qm4720ctl from the end-to-end tests: the program beside the module, its exit status and
// both of its streams, and the simulator's arguments that those tests share.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace ctltest {

inline std::string BuildDir() {
    std::string module = QM_MODULE_PATH;
    return module.substr(0, module.rfind('/') + 1);
}

struct CtlRun {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs qm4720ctl with `args` (a shell-quoted argument string) and collects both streams.
inline CtlRun Ctl(const std::string& args) {
    char errPath[] = "/tmp/qm4720ctl-err-XXXXXX";
    const int errFd = mkstemp(errPath);
    close(errFd);
    const std::string command = BuildDir() + "qm4720ctl " + args + " 2>" + errPath;
    CtlRun run;
    FILE* pipe = popen(command.c_str(), "r");
    char buffer[4096];
    std::size_t n = 0;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) run.out.append(buffer, n);
    const int status = pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::ifstream err(errPath);
    run.err.assign(std::istreambuf_iterator<char>(err), {});
    unlink(errPath);
    return run;
}

inline std::vector<nlohmann::ordered_json> JsonLines(const std::string& text) {
    std::vector<nlohmann::ordered_json> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty()) lines.push_back(nlohmann::ordered_json::parse(line));
    }
    return lines;
}

// The simulator's arguments: two stations of both models, still values, and `extra`.
inline std::vector<std::string> SimulatorArgs(const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args = {"--station", "1",         "--station", "2:QM4720N", "--frozen",
                                     "--set",     "1:SP=25.5", "--set",     "1:PV=12.5"};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

}  // namespace ctltest
