// A line through a serial device server beside the direct line (MeasureBridge, line_bench.h):
// ser2net started here in the foreground on 127.0.0.1 in front of a second simulator.
#include "bench/line_bench.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>

#include "bench/floor.h"
#include "bench/line_runs.h"
#include "bench/stats.h"
#include "contract/data_type.h"
#include "host/oskit/bridge/port_bridge.h"
#include "host/oskit/child_process.h"

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
