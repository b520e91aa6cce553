// What the line benches share: the simulator started for a run, the driver opened on it, one
// call timed (wall and processor time) and the series of a kind of call.
#pragma once

#include <time.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "bench/host_driver.h"
#include "bench/line_bench.h"
#include "host/oskit/child_process.h"

namespace bench {

inline constexpr int kReplyTimeoutMs = 1000;
inline constexpr int kWarmUpCalls = 3;

// The registers used: PV (a live FLOAT value) to read and SP (a FLOAT set point) to write, at the
// same index in both models' tables.
inline constexpr char kReadRegister[] = "PV";
inline constexpr std::int16_t kReadIndex = 4;
inline constexpr char kWriteRegister[] = "SP";
inline constexpr std::int16_t kWriteIndex = 13;
inline constexpr float kWriteValue = 25.5f;

inline constexpr char kDefaultModel[] = "QM4720";
inline constexpr char kQM4720NModel[] = "QM4720N";

struct Sample {
    double wallMs = 0;
    double cpuMs = 0;
    bool ok = false;
};

double ThreadCpuMs();

template <typename Call>
Sample Time(Call&& call) {
    Sample s;
    const auto wall0 = std::chrono::steady_clock::now();
    const double cpu0 = ThreadCpuMs();
    s.ok = call();
    const double cpu1 = ThreadCpuMs();
    const auto wall1 = std::chrono::steady_clock::now();
    s.wallMs = std::chrono::duration<double, std::milli>(wall1 - wall0).count();
    s.cpuMs = cpu1 - cpu0;
    return s;
}

// The simulator on a new pseudo-terminal, stopped when this is destroyed.
struct Simulator {
    std::unique_ptr<host::ChildProcess> child;
    std::string port;
};

// Starts the simulator at `baud` with `stations` ("1", "2:QM4720N"); false with `error` set.
bool StartSimulator(const LineSetup& setup, int baud, const std::vector<std::string>& stations,
                    Simulator& sim, std::string& error);

// The driver opened on the simulator's port at `baud`; null with `error` set.
std::unique_ptr<HostDriver> OpenDriver(const LineSetup& setup, const Simulator& sim, int baud,
                                       std::string& error);

struct Series {
    std::unique_ptr<HostRequest> request;
    std::vector<double> wall;
    std::vector<double> cpu;
    int failed = 0;

    void Add(const Sample& s) {
        wall.push_back(s.wallMs);
        cpu.push_back(s.cpuMs);
        if (!s.ok) ++failed;
    }
};

}  // namespace bench
