// qm4720_modbus_bench: Modbus reads by 16 concurrent clients against the service's server over a
// gateway that answers from memory, side by side in the same run with a bare libmodbus server
// answering the same requests from a static map (modbus_mapping_new + modbus_reply), the limit
// on this machine (a thread per client, as ours). Targets: at least 0.8 of the bare server's
// throughput, p99 under 2 ms. Prints one table and writes it as CSV; exits 0 when it ran (met or
// not), 1 when it could not.
//   qm4720_modbus_bench [--seconds S] [--clients N] [--out DIR]
#include <modbus.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "service/modbus/modbus_server.h"
#include "tests/support/fake_gateway.h"
#include "tests/support/free_port.h"

namespace {

using Clock = std::chrono::steady_clock;

// Every client reads the first two values of station 1: four holding registers.
constexpr int kFirst = 0;
constexpr int kCount = 4;

// The bare server: libmodbus alone, a thread per client like the service's server (so that both
// use the machine's cores alike), each answering with modbus_reply from one static map that holds
// the same words the service's server sends. Nothing is judged, nothing is asked.
class BareServer {
public:
    explicit BareServer(std::uint16_t port) : port_(port) {
        mapping_ = modbus_mapping_new(0, 0, 2 * service::testing::kDefaultModelCount, 0);
        // 21.5 and -3.25, high word first, as the fixed line's station 1 serves them.
        const std::uint16_t words[kCount] = {0x41AC, 0x0000, 0xC050, 0x0000};
        std::copy_n(words, kCount, mapping_->tab_registers);
        modbus_t* ctx = modbus_new_tcp("127.0.0.1", port_);
        listenFd_ = modbus_tcp_listen(ctx, 32);
        modbus_free(ctx);
        if (listenFd_ >= 0) acceptor_ = std::thread([this] { Accept(); });
    }
    ~BareServer() {
        stop_ = true;
        if (listenFd_ >= 0) shutdown(listenFd_, SHUT_RDWR);
        if (acceptor_.joinable()) acceptor_.join();
        for (const int fd : clientFds_) shutdown(fd, SHUT_RDWR);
        for (auto& thread : clients_) thread.join();
        for (const int fd : clientFds_) close(fd);
        if (listenFd_ >= 0) close(listenFd_);
        modbus_mapping_free(mapping_);
    }
    bool Listening() const { return listenFd_ >= 0; }
    std::uint16_t Port() const { return port_; }

private:
    void Accept() {
        while (!stop_) {
            const int fd = accept(listenFd_, nullptr, nullptr);
            if (fd < 0) return;
            const int on = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            clientFds_.push_back(fd);
            clients_.emplace_back([this, fd] { Serve(fd); });
        }
    }
    void Serve(int fd) {
        modbus_t* ctx = modbus_new_tcp("127.0.0.1", port_);
        modbus_set_socket(ctx, fd);
        std::uint8_t request[MODBUS_TCP_MAX_ADU_LENGTH];
        for (;;) {
            const int length = modbus_receive(ctx, request);
            if (length < 0) break;
            if (length > 0) modbus_reply(ctx, request, length, mapping_);
        }
        modbus_free(ctx);
    }

    std::uint16_t port_;
    modbus_mapping_t* mapping_ = nullptr;
    int listenFd_ = -1;
    std::atomic<bool> stop_{false};
    std::thread acceptor_;
    std::vector<int> clientFds_;  // written by the acceptor only, read after it is joined
    std::vector<std::thread> clients_;
};

struct Run {
    long requests = 0;
    long failures = 0;
    double seconds = 0;
    double p50Ms = 0;
    double p99Ms = 0;
    double Throughput() const { return seconds > 0 ? requests / seconds : 0; }
};

// `clients` threads, each with its own connection, read in a loop for `seconds`.
Run Load(std::uint16_t port, int clients, double seconds) {
    std::vector<std::vector<double>> latencies(clients);
    std::vector<long> failures(clients, 0);
    std::atomic<bool> go{false};
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c) {
        threads.emplace_back([&, c] {
            modbus_t* ctx = modbus_new_tcp("127.0.0.1", port);
            modbus_set_slave(ctx, 1);
            if (modbus_connect(ctx) != 0) {
                failures[c] = 1;
                modbus_free(ctx);
                return;
            }
            while (!go) std::this_thread::yield();
            std::uint16_t words[kCount];
            while (!stop) {
                const auto start = Clock::now();
                if (modbus_read_registers(ctx, kFirst, kCount, words) != kCount ||
                    words[0] != 0x41AC || words[2] != 0xC050) {
                    ++failures[c];
                    continue;
                }
                latencies[c].push_back(
                    std::chrono::duration<double, std::milli>(Clock::now() - start).count());
            }
            modbus_close(ctx);
            modbus_free(ctx);
        });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // every client connected
    const auto start = Clock::now();
    go = true;
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    stop = true;
    const auto end = Clock::now();
    for (auto& thread : threads) thread.join();

    Run run;
    run.seconds = std::chrono::duration<double>(end - start).count();
    std::vector<double> all;
    for (int c = 0; c < clients; ++c) {
        all.insert(all.end(), latencies[c].begin(), latencies[c].end());
        run.failures += failures[c];
    }
    run.requests = static_cast<long>(all.size());
    if (!all.empty()) {
        std::sort(all.begin(), all.end());
        run.p50Ms = all[all.size() / 2];
        run.p99Ms = all[std::min(all.size() - 1, all.size() * 99 / 100)];
    }
    return run;
}

std::string LoadAverage() {
    std::ifstream in("/proc/loadavg");
    std::string one;
    in >> one;
    return one.empty() ? "unknown" : one;
}

Run Sum(const Run& a, const Run& b) {
    // Two rounds of the same server: throughput over both, the worse of each percentile.
    return {a.requests + b.requests, a.failures + b.failures, a.seconds + b.seconds,
            std::max(a.p50Ms, b.p50Ms), std::max(a.p99Ms, b.p99Ms)};
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = 3;
    int clients = 16;
    std::string out = "bench-results";
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--help") {
            std::puts(
                "usage: qm4720_modbus_bench [--seconds S (3)] [--clients N (16)] [--out DIR]");
            return 0;
        }
        if (i + 1 >= argc) {
            std::fprintf(stderr, "%s needs a value\n", option.c_str());
            return 2;
        }
        const char* value = argv[++i];
        if (option == "--seconds") {
            seconds = std::atof(value);
        } else if (option == "--clients") {
            clients = std::atoi(value);
        } else if (option == "--out") {
            out = value;
        } else {
            std::fprintf(stderr, "unknown option %s\n", option.c_str());
            return 2;
        }
    }
    if (seconds <= 0 || clients < 1 || clients > 256) {
        std::fputs("--seconds must be above 0, --clients between 1 and 256\n", stderr);
        return 2;
    }

    service::testing::FakeGateway gateway;
    service::ModbusListenerSettings settings;
    settings.port = service::testing::FreeLoopbackPort();
    settings.maxClients = clients;
    service::ModbusServer server(settings, gateway, service::testing::FixedTables());
    if (const auto error = server.Start(); !error.empty()) {
        std::fprintf(stderr, "qm4720_modbus_bench: %s\n", error.c_str());
        return 1;
    }
    BareServer bare(service::testing::FreeLoopbackPort());
    if (!bare.Listening()) {
        std::fputs("qm4720_modbus_bench: the bare libmodbus server could not listen\n", stderr);
        return 1;
    }

    const auto loadBefore = LoadAverage();
    // Alternate rounds, so that a change in the machine's load falls on both alike.
    Load(bare.Port(), clients, 0.5);  // warm-up
    Load(settings.port, clients, 0.5);
    const Run bareFirst = Load(bare.Port(), clients, seconds / 2);
    const Run ourFirst = Load(settings.port, clients, seconds / 2);
    const Run bareSecond = Load(bare.Port(), clients, seconds / 2);
    const Run ourSecond = Load(settings.port, clients, seconds / 2);
    const Run bareTotal = Sum(bareFirst, bareSecond);
    const Run ours = Sum(ourFirst, ourSecond);
    server.Stop();

    const double ratio =
        bareTotal.Throughput() > 0 ? ours.Throughput() / bareTotal.Throughput() : 0;
    const bool failed = ours.failures > 0 || bareTotal.failures > 0 || ours.requests == 0 ||
                        bareTotal.requests == 0;
    std::printf("Modbus reads, %d concurrent clients, %d registers each, %.1f s per server\n",
                clients, kCount, ours.seconds);
    std::printf("load average (1 min) before %s, after %s; %u processors\n", loadBefore.c_str(),
                LoadAverage().c_str(), std::thread::hardware_concurrency());
    std::printf("%-28s %12s %10s %10s %9s\n", "server", "reads/s", "p50 ms", "p99 ms", "failed");
    std::printf("%-28s %12.0f %10.3f %10.3f %9ld\n", "bare libmodbus, static map",
                bareTotal.Throughput(), bareTotal.p50Ms, bareTotal.p99Ms, bareTotal.failures);
    std::printf("%-28s %12.0f %10.3f %10.3f %9ld\n", "qm4720d server, gateway", ours.Throughput(),
                ours.p50Ms, ours.p99Ms, ours.failures);
    const bool throughputMet = ratio >= 0.8;
    const bool latencyMet = ours.requests > 0 && ours.p99Ms < 2.0;
    std::printf("target: throughput >= 0.8 of the bare server: %s (%.2f)\n",
                throughputMet ? "met" : "not met", ratio);
    std::printf("target: p99 under 2 ms: %s (%.3f ms)\n", latencyMet ? "met" : "not met",
                ours.p99Ms);

    std::error_code error;
    std::filesystem::create_directories(out, error);
    std::ofstream csv(out + "/modbus_reads.csv");
    csv << "server,clients,reads_per_s,p50_ms,p99_ms,failed\n"
        << "bare," << clients << ',' << bareTotal.Throughput() << ',' << bareTotal.p50Ms << ','
        << bareTotal.p99Ms << ',' << bareTotal.failures << '\n'
        << "qm4720d," << clients << ',' << ours.Throughput() << ',' << ours.p50Ms << ','
        << ours.p99Ms << ',' << ours.failures << '\n';
    if (failed) {
        std::fputs("qm4720_modbus_bench: reads failed; the figures do not measure answers\n",
                   stderr);
        return 1;
    }
    return 0;
}
