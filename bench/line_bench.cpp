#include "bench/line_bench.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>

#include "bench/floor.h"
#include "bench/host_driver.h"
#include "bench/stats.h"
#include "contract/data_type.h"
#include "host/oskit/bridge/port_bridge.h"
#include "host/oskit/child_process.h"

namespace bench {
namespace {

constexpr int kReplyTimeoutMs = 1000;
constexpr int kWarmUpCalls = 3;
constexpr int kSimulatorStartMs = 10000;

// The registers used: PV (a live FLOAT value) to read and SP (a FLOAT set point) to write, at the
// same index in both models' tables.
constexpr char kReadRegister[] = "PV";
constexpr std::int16_t kReadIndex = 4;
constexpr char kWriteRegister[] = "SP";
constexpr std::int16_t kWriteIndex = 13;
constexpr float kWriteValue = 25.5f;

constexpr char kDefaultModel[] = "QM4720";
constexpr char kQM4720NModel[] = "QM4720N";

struct Sample {
    double wallMs = 0;
    double cpuMs = 0;
    bool ok = false;
};

double ThreadCpuMs() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

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

}  // namespace

bool MeasureTransactions(const LineSetup& setup, int baud, int calls,
                         std::vector<TransactionRow>& rows, std::string& error) {
    Simulator sim;
    if (!StartSimulator(setup, baud, {"1", "2:QM4720N"}, sim, error)) return false;
    std::unique_ptr<HostDriver> driver = OpenDriver(setup, sim, baud, error);
    if (driver == nullptr) return false;

    struct Kind {
        const char* model;
        std::int16_t station;
        bool write;
    };
    const Kind kinds[] = {{kDefaultModel, 1, false},
                          {kDefaultModel, 1, true},
                          {kQM4720NModel, 2, false},
                          {kQM4720NModel, 2, true}};
    std::vector<Series> series(std::size(kinds));
    for (std::size_t k = 0; k < std::size(kinds); ++k) {
        const Kind& kind = kinds[k];
        series[k].request = std::make_unique<HostRequest>(
            kind.write ? kDirectionWrite : kDirectionRead, kind.station, kind.model,
            kind.write ? kWriteRegister : kReadRegister, kind.write ? kWriteIndex : kReadIndex,
            kTypeFloat, 1);
        if (kind.write) series[k].request->First().value.asFloat = kWriteValue;
    }
    for (int i = 0; i < kWarmUpCalls + calls; ++i) {
        for (Series& s : series) {
            const Sample sample =
                Time([&] { return driver->ExecuteEx(s.request->Request()) == 1; });
            if (i >= kWarmUpCalls) s.Add(sample);
        }
    }
    for (std::size_t k = 0; k < std::size(kinds); ++k) {
        const Kind& kind = kinds[k];
        const Floor floor = TransactionFloor(baud, setup.bitsPerChar, setup.turnaroundMs,
                                             kind.write ? kWriteRequestBytes : kReadRequestBytes,
                                             kind.write ? kWriteReplyBytes : kReadReplyBytes);
        TransactionRow row;
        row.baud = baud;
        row.model = kind.model;
        row.direction = kind.write ? "write" : "read";
        row.calls = calls;
        row.failed = series[k].failed;
        row.medianMs = Median(series[k].wall);
        row.p95Ms = Percentile(series[k].wall, 95);
        row.pauseMs = floor.pauseMs;
        row.arrivalMs = floor.arrivalMs;
        row.floorMs = floor.floorMs;
        const Floor simulated = SimulatedLineFloor(baud, setup.bitsPerChar, setup.turnaroundMs,
                                                   kind.write ? kWriteReplyBytes : kReadReplyBytes);
        row.simArrivalMs = simulated.arrivalMs;
        row.simFloorMs = simulated.floorMs;
        row.cpuMs = Median(series[k].cpu);
        rows.push_back(row);
    }
    return true;
}

bool MeasurePollCycles(const LineSetup& setup, int baud, const std::vector<int>& stationCounts,
                       int callsPerCount, std::vector<PollRow>& rows, std::string& error) {
    int most = 0;
    for (int n : stationCounts) most = std::max(most, n);
    std::vector<std::string> stations;
    for (int s = 1; s <= most; ++s) stations.push_back(std::to_string(s));
    Simulator sim;
    if (!StartSimulator(setup, baud, stations, sim, error)) return false;
    std::unique_ptr<HostDriver> driver = OpenDriver(setup, sim, baud, error);
    if (driver == nullptr) return false;

    std::vector<std::unique_ptr<HostRequest>> reads;
    for (int s = 1; s <= most; ++s) {
        reads.push_back(std::make_unique<HostRequest>(kDirectionRead, static_cast<std::int16_t>(s),
                                                      kDefaultModel, kReadRegister, kReadIndex,
                                                      kTypeFloat, 1));
    }
    const double singleFloor = TransactionFloor(baud, setup.bitsPerChar, setup.turnaroundMs,
                                                kReadRequestBytes, kReadReplyBytes)
                                   .floorMs;
    for (int n : stationCounts) {
        // About the same number of reads for every N, never fewer than five cycles.
        const int cycles = std::max(5, callsPerCount / n);
        std::vector<double> wall;
        std::vector<double> single;
        int failed = 0;
        for (int c = 0; c < cycles + 1; ++c) {
            int bad = 0;
            std::vector<double> each;
            const Sample sample = Time([&] {
                for (int s = 0; s < n; ++s) {
                    const auto start = std::chrono::steady_clock::now();
                    if (driver->ExecuteEx(reads[static_cast<std::size_t>(s)]->Request()) != 1) {
                        ++bad;
                    }
                    each.push_back(std::chrono::duration<double, std::milli>(
                                       std::chrono::steady_clock::now() - start)
                                       .count());
                }
                return true;
            });
            if (c == 0) continue;  // warm-up
            wall.push_back(sample.wallMs);
            single.insert(single.end(), each.begin(), each.end());
            failed += bad;
        }
        PollRow row;
        row.baud = baud;
        row.stations = n;
        row.cycles = cycles;
        row.failed = failed;
        row.medianMs = Median(wall);
        row.p95Ms = Percentile(wall, 95);
        row.expectedMs = n * singleFloor;
        row.readMedianMs = Median(single);
        row.readP95Ms = Percentile(single, 95);
        for (double ms : single) {
            if (ms > singleFloor + 2.0) ++row.lateReads;
        }
        rows.push_back(row);
    }
    return true;
}

bool MeasureItems(const LineSetup& setup, int baud, const std::vector<int>& itemCounts, int calls,
                  std::vector<ItemsRow>& rows, std::string& error) {
    Simulator sim;
    if (!StartSimulator(setup, baud, {"1"}, sim, error)) return false;
    std::unique_ptr<HostDriver> driver = OpenDriver(setup, sim, baud, error);
    if (driver == nullptr) return false;

    std::vector<Series> series(itemCounts.size());
    for (std::size_t k = 0; k < itemCounts.size(); ++k) {
        series[k].request = std::make_unique<HostRequest>(
            kDirectionRead, 1, kDefaultModel, kReadRegister, kReadIndex, kTypeFloat, itemCounts[k]);
    }
    for (int i = 0; i < kWarmUpCalls + calls; ++i) {
        for (Series& s : series) {
            const Sample sample =
                Time([&] { return driver->ExecuteEx(s.request->Request()) == 1; });
            if (i >= kWarmUpCalls) s.Add(sample);
        }
    }
    double baseWall = 0;
    double baseCpu = 0;
    for (std::size_t k = 0; k < itemCounts.size(); ++k) {
        ItemsRow row;
        row.baud = baud;
        row.items = itemCounts[k];
        row.calls = calls;
        row.failed = series[k].failed;
        row.medianMs = Median(series[k].wall);
        row.cpuMs = Median(series[k].cpu);
        if (k == 0) {
            baseWall = row.medianMs;
            baseCpu = row.cpuMs;
        } else if (row.items > itemCounts[0]) {
            const double extra = row.items - itemCounts[0];
            row.extraWallUsPerItem = (row.medianMs - baseWall) * 1e3 / extra;
            row.extraCpuUsPerItem = (row.cpuMs - baseCpu) * 1e3 / extra;
        }
        rows.push_back(row);
    }
    return true;
}

}  // namespace bench

namespace bench {
namespace {

constexpr char kSer2net[] = "/usr/sbin/ser2net";

// A TCP port on 127.0.0.1 that nothing listens on now.
int FreePort() {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    int port = 0;
    if (bind(s, reinterpret_cast<sockaddr*>(&address), size) == 0 &&
        getsockname(s, reinterpret_cast<sockaddr*>(&address), &size) == 0) {
        port = ntohs(address.sin_port);
    }
    close(s);
    return port;
}

bool Listening(int port) {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    const bool ok = connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(s);
    return ok;
}

// ser2net in the foreground, raw TCP on 127.0.0.1:`port` to `device`; its configuration file is
// removed with it.
struct Ser2net {
    std::string config;
    std::unique_ptr<host::ChildProcess> child;
    ~Ser2net() {
        child.reset();
        if (!config.empty()) std::remove(config.c_str());
    }
};

bool StartSer2net(const std::string& device, int port, Ser2net& server, std::string& error) {
    // ser2net reads a file as YAML by its name's ending.
    char path[] = "/tmp/qm4720-bench-ser2net-XXXXXX.yaml";
    const int fd = mkstemps(path, 5);
    if (fd < 0) {
        error = "cannot write ser2net's configuration";
        return false;
    }
    server.config = path;
    const std::string yaml = "connection: &bench\n  accepter: tcp,127.0.0.1," +
                             std::to_string(port) + "\n  connector: serialdev," + device +
                             ",9600n81,local\n";
    const bool written = write(fd, yaml.data(), yaml.size()) == static_cast<ssize_t>(yaml.size());
    close(fd);
    if (!written) {
        error = "cannot write ser2net's configuration";
        return false;
    }
    server.child = host::StartChild({kSer2net, "-n", "-d", "-c", server.config}, error);
    if (server.child == nullptr) return false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!Listening(port)) {
        if (std::chrono::steady_clock::now() > deadline) {
            error = "ser2net did not listen on 127.0.0.1:" + std::to_string(port);
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

}  // namespace

bool MeasureBridge(const LineSetup& setup, int baud, int calls, std::vector<BridgeRow>& rows,
                   std::string& skipped, std::string& error) {
    if (access(kSer2net, X_OK) != 0) {
        skipped = std::string(kSer2net) + " is not installed (make deps installs it)";
        return true;
    }
    Simulator direct;
    Simulator served;
    if (!StartSimulator(setup, baud, {"1"}, direct, error) ||
        !StartSimulator(setup, baud, {"1"}, served, error)) {
        return false;
    }
    const int port = FreePort();
    Ser2net server;
    if (!StartSer2net(served.port, port, server, error)) return false;
    host::LineSettings line;
    line.baud = baud;
    std::shared_ptr<host::PortBridge> bridge =
        host::StartPortBridge({host::NetworkScheme::kRawTcp, "127.0.0.1", port}, line, error);
    if (bridge == nullptr) return false;
    std::unique_ptr<HostDriver> directDriver = OpenDriver(setup, direct, baud, error);
    if (directDriver == nullptr) return false;
    std::unique_ptr<HostDriver> bridgedDriver = HostDriver::Create(setup.modulePath, error);
    if (bridgedDriver == nullptr ||
        !bridgedDriver->Open(bridge->PortName(), baud, kReplyTimeoutMs, error)) {
        return false;
    }
    Series series[2];
    HostDriver* drivers[2] = {directDriver.get(), bridgedDriver.get()};
    std::vector<double> roundTrips;
    for (Series& s : series) {
        s.request = std::make_unique<HostRequest>(kDirectionRead, 1, kDefaultModel, kReadRegister,
                                                  kReadIndex, kTypeFloat, 1);
    }
    for (int i = 0; i < kWarmUpCalls + calls; ++i) {
        for (int k = 0; k < 2; ++k) {
            const Sample sample =
                Time([&] { return drivers[k]->ExecuteEx(series[k].request->Request()) == 1; });
            if (i < kWarmUpCalls) continue;
            series[k].Add(sample);
            const host::BridgeTimes times = bridge->Times();
            if (k == 1 && times.lastRoundTrip) {
                roundTrips.push_back(static_cast<double>(times.lastRoundTrip->count()) / 1000.0);
            }
        }
    }
    const Floor floor = TransactionFloor(baud, setup.bitsPerChar, setup.turnaroundMs,
                                         kReadRequestBytes, kReadReplyBytes);
    const char* paths[2] = {"direct", "ser2net+bridge"};
    for (int k = 0; k < 2; ++k) {
        BridgeRow row;
        row.path = paths[k];
        row.calls = calls;
        row.failed = series[k].failed;
        row.medianMs = Median(series[k].wall);
        row.p95Ms = Percentile(series[k].wall, 95);
        row.floorMs = floor.floorMs;
        row.roundTripMs = k == 1 ? Median(roundTrips) : 0;
        rows.push_back(row);
    }
    return true;
}

}  // namespace bench
