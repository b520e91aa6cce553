#include "bench/line_runs.h"

namespace bench {
namespace {

constexpr int kSimulatorStartMs = 10000;

}  // namespace

double ThreadCpuMs() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

bool StartSimulator(const LineSetup& setup, int baud, const std::vector<std::string>& stations,
                    Simulator& sim, std::string& error) {
    std::vector<std::string> argv = {setup.simulatorPath,
                                     "--baud",
                                     std::to_string(baud),
                                     "--reply-delay",
                                     std::to_string(setup.turnaroundMs),
                                     "--frozen",
                                     "--seed",
                                     "1"};
    for (const std::string& s : stations) {
        argv.push_back("--station");
        argv.push_back(s);
    }
    sim.child = host::StartChild(argv, error);
    if (sim.child == nullptr) return false;
    std::string line;
    while (sim.child->ReadLine(line, kSimulatorStartMs)) {
        if (line.rfind("PORT=", 0) == 0) sim.port = line.substr(5);
        if (line == "READY") return !sim.port.empty();
    }
    error = "the simulator did not come up (" + setup.simulatorPath + ")";
    return false;
}

std::unique_ptr<HostDriver> OpenDriver(const LineSetup& setup, const Simulator& sim, int baud,
                                       std::string& error) {
    std::unique_ptr<HostDriver> driver = HostDriver::Create(setup.modulePath, error);
    if (driver == nullptr || !driver->Open(sim.port, baud, kReplyTimeoutMs, error)) return nullptr;
    return driver;
}

}  // namespace bench
