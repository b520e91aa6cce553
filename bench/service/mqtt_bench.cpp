// qm4720d_mqtt_bench: readings a second that the MQTT publisher gets to a local broker (Debian's
// mosquitto on a loopback port), counted where a consumer sees them, at mosquitto_sub. Readings of
// 32 meters x 8 registers go in through the publisher's Publish as fast as it takes them (the
// feeder waits while its queue is half full, so nothing is dropped for the feeder's haste); the
// time runs from the first reading in to the last one out of mosquitto_sub. Target: at least
// 10,000 readings a second with none lost. Prints the figures and writes them as CSV; exits 0
// when it ran (met or not), 1 when it could not.
//   qm4720d_mqtt_bench [--readings N] [--qos 0|1] [--out DIR]
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "service/mqtt/mqtt_publisher.h"
#include "tests/support/free_port.h"
#include "tests/support/mosquitto_broker.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr double kLimitPerSecond = 10'000;
constexpr const char* kPrefix = "bench/qm";

// Counts the readings that mosquitto_sub prints (one topic and payload a line), apart from the
// probe that tells the subscription is in place.
struct Counter {
    std::atomic<long> readings{0};
    std::atomic<bool> probeSeen{false};
    std::atomic<Clock::rep> lastAt{0};

    void Read(int fd) {
        std::string pending;
        char buffer[65536];
        ssize_t n = 0;
        while ((n = read(fd, buffer, sizeof buffer)) > 0) {
            pending.append(buffer, static_cast<std::size_t>(n));
            std::size_t start = 0;
            for (std::size_t end; (end = pending.find('\n', start)) != std::string::npos;
                 start = end + 1) {
                if (pending.compare(start, 14, "bench/qm/probe") == 0) {
                    probeSeen = true;
                } else {
                    ++readings;
                    lastAt = Clock::now().time_since_epoch().count();
                }
            }
            pending.erase(0, start);
        }
    }
};

service::LiveCell Cell(long i) {
    service::LiveCell cell;
    cell.station = static_cast<std::int16_t>(1 + (i / 8) % 32);
    static constexpr const char* kRegisters[8] = {"PV", "SP", "OP", "ER", "SV", "RT", "HA", "LA"};
    cell.mnemonic = kRegisters[i % 8];
    cell.answered = cell.ok = cell.everGood = true;
    cell.value = static_cast<double>(i);
    cell.quality = 192;
    cell.utcMs = service::UtcNowMs();
    return cell;
}

}  // namespace

int main(int argc, char** argv) {
    long total = 100'000;
    int qos = 1;
    std::string out = "bench";
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--help") {
            std::puts(
                "usage: qm4720d_mqtt_bench [--readings N (100000)] [--qos 0|1 (1)] "
                "[--out DIR]");
            return 0;
        }
        if (i + 1 >= argc) {
            std::fprintf(stderr, "%s needs a value\n", option.c_str());
            return 2;
        }
        const std::string value = argv[++i];
        if (option == "--readings") {
            total = std::atol(value.c_str());
        } else if (option == "--qos") {
            qos = std::atoi(value.c_str());
        } else if (option == "--out") {
            out = value;
        } else {
            std::fprintf(stderr, "unknown option %s\n", option.c_str());
            return 2;
        }
    }
    if (total <= 0 || (qos != 0 && qos != 1)) {
        std::fputs("qm4720d_mqtt_bench: --readings must be positive, --qos 0 or 1\n", stderr);
        return 2;
    }

    service::testing::MosquittoBroker broker(service::testing::FreeLoopbackPort());
    if (!broker.Start()) {
        std::fprintf(stderr, "qm4720d_mqtt_bench: cannot start %s\n",
                     service::testing::kMosquittoPath);
        return 1;
    }
    const std::string port = std::to_string(broker.port());
    service::testing::ChildReader sub({service::testing::kMosquittoSubPath, "-h", "127.0.0.1", "-p",
                                       port, "-q", std::to_string(qos), "-t",
                                       std::string(kPrefix) + "/#", "-v", "-T",
                                       std::string(kPrefix) + "/status"});
    Counter counter;
    std::thread reader([&] { counter.Read(sub.fd()); });

    service::ServiceConfig config;
    config.mqtt.host = "127.0.0.1";
    config.mqtt.port = broker.port();
    config.mqtt.prefix = kPrefix;
    config.mqtt.qos = qos;
    service::MqttPublisher publisher(config);
    publisher.Start();

    // The subscription is in place once a probe comes through.
    const auto setupLimit = Clock::now() + std::chrono::seconds(10);
    service::LiveCell probe = Cell(0);
    probe.mnemonic = "x";
    while (!counter.probeSeen && Clock::now() < setupLimit) {
        publisher.Publish("probe", probe);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    bool ran = counter.probeSeen;

    const auto start = Clock::now();
    const std::size_t half = config.mqtt.queueLimit / 2;
    for (long i = 0; ran && i < total; ++i) {
        // A sleep, not a spin: the feeder must not take the processor the sender needs.
        while (publisher.Counters().queued >= half) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        publisher.Publish("a", Cell(i));
    }
    const auto fedAt = Clock::now();
    // Everything handed over arrives within seconds, or it is lost.
    const auto drainLimit = fedAt + std::chrono::seconds(30);
    while (ran && counter.readings < total && Clock::now() < drainLimit) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // any extra ones
    const service::MqttCounters counters = publisher.Counters();
    sub.Kill();
    reader.join();

    const long received = counter.readings;
    const Clock::time_point lastAt{Clock::duration(counter.lastAt.load())};
    const double seconds = std::chrono::duration<double>(lastAt - start).count();
    const double rate = seconds > 0 ? static_cast<double>(received) / seconds : 0;
    const long lost = total - received;
    const bool met = ran && lost == 0 && rate >= kLimitPerSecond;
    std::printf("MQTT readings through a local mosquitto, QoS %d, 32 meters x 8 registers\n", qos);
    std::printf("sent %ld, received at mosquitto_sub %ld, lost %ld, dropped by the queue %llu\n",
                total, received, lost, static_cast<unsigned long long>(counters.dropped));
    std::printf("target: at least %.0f readings/s without loss: %s (%.0f/s over %.2f s)\n",
                kLimitPerSecond, met ? "met" : "not met", rate, seconds);

    std::error_code error;
    std::filesystem::create_directories(out, error);
    std::ofstream(out + "/mqtt_publish.csv") << "qos,sent,received,lost,seconds,readings_per_s\n"
                                             << qos << ',' << total << ',' << received << ','
                                             << lost << ',' << seconds << ',' << rate << '\n';
    if (!ran) {
        std::fputs("qm4720d_mqtt_bench: mosquitto_sub never saw the probe\n", stderr);
        return 1;
    }
    return 0;
}
