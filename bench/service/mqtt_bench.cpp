// qm4720d_mqtt_bench: readings a second that the MQTT publisher gets to a local broker (Debian's
// mosquitto on a loopback port), counted where a consumer sees them, at mosquitto_sub. Readings of
// 32 meters x 8 registers go in through the publisher's Publish as fast as it takes them (the
// feeder waits while its queue is half full, so nothing is dropped for the feeder's haste); the
// time runs from the first reading in to the last one out of mosquitto_sub. Run twice, plainly and
// over TLS to a TLS listener (certificates made by openssl for the run). Targets: at least 10,000
// readings a second with none lost, plainly; over TLS none lost and at least the plain rate / 1.5.
// A third run, plainly, with the Sparkplug B payload (each reading a DDATA once its meter is born;
// the first 8 of each meter travel in its DBIRTH) gives its readings a second beside JSON's.
// Prints the figures and writes them as CSV; exits 0 when it ran (met or not), 1 when it could not.
//   qm4720d_mqtt_bench [--readings N] [--qos 0|1] [--out DIR]
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "host/oskit/child_process.h"
#include "service/mqtt/mqtt_publisher.h"
#include "tests/support/free_port.h"
#include "tests/support/mosquitto_broker.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr double kLimitPerSecond = 10'000;
constexpr double kTlsFactor = 1.5;
constexpr const char* kPrefix = "bench/qm";

// Counts the readings that mosquitto_sub prints (one topic and payload a line; with Sparkplug B
// the topic alone, the payload being binary), apart from the probe that tells the subscription is
// in place.
struct Counter {
    bool sparkplug = false;
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
                const std::string_view line(pending.data() + start, end - start);
                if (line.find("probe") != std::string_view::npos) {
                    probeSeen = true;
                    continue;
                }
                // A birth carries the meter's 8 registers; NBIRTH and deaths none.
                const long count = !sparkplug                                        ? 1
                                   : line.find("/DDATA/") != std::string_view::npos  ? 1
                                   : line.find("/DBIRTH/") != std::string_view::npos ? 8
                                                                                     : 0;
                if (count > 0) {
                    readings += count;
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

struct Run {
    bool ran = false;
    long received = 0;
    double seconds = 0;
    double rate = 0;
    std::uint64_t dropped = 0;
};

// 32 meters x 8 registers of Cell on line "a", and a line "probe", as Sparkplug B's devices.
void SparkplugPlant(service::ServiceConfig& config) {
    config.mqtt.sparkplug = {true, "bench", "node", ""};
    static constexpr const char* kRegisters[8] = {"PV", "SP", "OP", "ER", "SV", "RT", "HA", "LA"};
    service::LineConfig line;
    line.name = "a";
    for (std::int16_t station = 1; station <= 32; ++station) {
        service::MeterConfig meter;
        meter.station = station;
        for (int r = 0; r < 8; ++r) {
            meter.polled.push_back({qm4720::Register{kRegisters[r], r, qm4720::DataType::kFloat}});
        }
        line.meters.push_back(meter);
    }
    config.lines.push_back(line);
    service::LineConfig probe;
    probe.name = "probe";
    service::MeterConfig meter;
    meter.station = 1;
    meter.polled.push_back({qm4720::Register{"x", 0, qm4720::DataType::kFloat}});
    probe.meters.push_back(meter);
    config.lines.push_back(probe);
}

// `total` readings through a broker of our own; over TLS when `certificates` names the folder of
// MakeCertificates; as Sparkplug B with `sparkplug`.
Run Measure(long total, int qos, const std::string& certificates, bool sparkplug = false) {
    Run run;
    const bool tls = !certificates.empty();
    service::testing::MosquittoBroker broker(service::testing::FreeLoopbackPort(),
                                             tls ? "cafile " + certificates + "/ca.pem\ncertfile " +
                                                       certificates + "/server.pem\nkeyfile " +
                                                       certificates + "/server.key\n"
                                                 : "");
    if (!broker.Start()) {
        std::fprintf(stderr, "qm4720d_mqtt_bench: cannot start %s\n",
                     service::testing::kMosquittoPath);
        return run;
    }
    const std::string port = std::to_string(broker.port());
    std::vector<std::string> subArgv{service::testing::kMosquittoSubPath,
                                     "-h",
                                     "127.0.0.1",
                                     "-p",
                                     port,
                                     "-q",
                                     std::to_string(qos),
                                     "-t",
                                     std::string(kPrefix) + "/#",
                                     "-v",
                                     "-T",
                                     std::string(kPrefix) + "/status"};
    if (sparkplug) {
        subArgv.resize(7);
        subArgv.insert(subArgv.end(), {"-t", "spBv1.0/#", "-F", "%t"});
    }
    if (tls) subArgv.insert(subArgv.end(), {"--cafile", certificates + "/ca.pem"});
    service::testing::ChildReader sub(subArgv);
    Counter counter;
    counter.sparkplug = sparkplug;
    std::thread reader([&] { counter.Read(sub.fd()); });

    service::ServiceConfig config;
    config.mqtt.host = "127.0.0.1";
    config.mqtt.port = broker.port();
    config.mqtt.prefix = kPrefix;
    config.mqtt.qos = qos;
    if (tls) config.mqtt.access.tlsCaFile = certificates + "/ca.pem";
    if (sparkplug) SparkplugPlant(config);
    service::MqttPublisher publisher(config);
    publisher.Start();

    // The subscription is in place once a probe comes through.
    const auto setupLimit = Clock::now() + std::chrono::seconds(10);
    service::LiveCell probe = Cell(0);
    probe.mnemonic = "x";
    while (!counter.probeSeen && Clock::now() < setupLimit) {
        probe.value += 1;  // a change, for Sparkplug's report by exception
        publisher.Publish("probe", probe);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    run.ran = counter.probeSeen;

    const auto start = Clock::now();
    const std::size_t half = config.mqtt.queueLimit / 2;
    for (long i = 0; run.ran && i < total; ++i) {
        // A sleep, not a spin: the feeder must not take the processor the sender needs.
        while (publisher.Counters().queued >= half) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        publisher.Publish("a", Cell(i));
    }
    const auto fedAt = Clock::now();
    // Everything handed over arrives within seconds, or it is lost.
    const auto drainLimit = fedAt + std::chrono::seconds(30);
    while (run.ran && counter.readings < total && Clock::now() < drainLimit) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // any extra ones
    run.dropped = publisher.Counters().dropped;
    sub.Kill();
    reader.join();

    run.received = counter.readings;
    const Clock::time_point lastAt{Clock::duration(counter.lastAt.load())};
    run.seconds = std::chrono::duration<double>(lastAt - start).count();
    run.rate = run.seconds > 0 ? static_cast<double>(run.received) / run.seconds : 0;
    if (!run.ran) std::fputs("qm4720d_mqtt_bench: mosquitto_sub never saw the probe\n", stderr);
    return run;
}

// The CA and the broker's certificate for 127.0.0.1, made by openssl into `dir`, readable by the
// broker, which gives up root before it reads them.
bool MakeCertificates(const std::string& dir) {
    std::string error;
    auto made = host::StartChild({"/bin/sh", QM_CERTIFICATE_SCRIPT, dir}, error);
    if (made == nullptr || made->Wait(60000) != 0) {
        std::fprintf(stderr, "qm4720d_mqtt_bench: openssl could not make certificates %s\n",
                     error.c_str());
        return false;
    }
    chmod(dir.c_str(), 0755);
    for (const auto& file : std::filesystem::directory_iterator(dir)) {
        chmod(file.path().c_str(), 0644);
    }
    return true;
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

    char scratch[] = "/tmp/qm4720d-mqtt-bench-XXXXXX";
    if (mkdtemp(scratch) == nullptr) return 1;
    const Run plain = Measure(total, qos, "");
    const Run tls = MakeCertificates(scratch) ? Measure(total, qos, scratch) : Run{};
    std::filesystem::remove_all(scratch);
    const Run spb = Measure(total, qos, "", true);

    const bool met = plain.ran && plain.received == total && plain.rate >= kLimitPerSecond;
    const double tlsLimit = plain.rate / kTlsFactor;
    const bool tlsMet = tls.ran && tls.received == total && tls.rate >= tlsLimit;
    std::printf("MQTT readings through a local mosquitto, QoS %d, 32 meters x 8 registers\n", qos);
    for (const auto& [name, r] :
         {std::pair{"plain", plain}, std::pair{"TLS", tls}, std::pair{"Sparkplug B", spb}}) {
        std::printf(
            "%s: sent %ld, received at mosquitto_sub %ld, lost %ld, dropped by the queue "
            "%llu\n",
            name, total, r.received, total - r.received,
            static_cast<unsigned long long>(r.dropped));
    }
    std::printf("target: at least %.0f readings/s without loss: %s (%.0f/s over %.2f s)\n",
                kLimitPerSecond, met ? "met" : "not met", plain.rate, plain.seconds);
    std::printf(
        "target: over TLS at least 1/1.5 of that, %.0f readings/s, without loss: %s "
        "(%.0f/s over %.2f s)\n",
        tlsLimit, tlsMet ? "met" : "not met", tls.rate, tls.seconds);
    std::printf("Sparkplug B, plainly: %.0f readings/s over %.2f s (JSON: %.0f/s)\n", spb.rate,
                spb.seconds, plain.rate);

    std::error_code error;
    std::filesystem::create_directories(out, error);
    std::ofstream csv(out + "/mqtt_publish.csv");
    csv << "transport,qos,sent,received,lost,seconds,readings_per_s\n";
    for (const auto& [name, r] :
         {std::pair{"plain", plain}, std::pair{"tls", tls}, std::pair{"sparkplug-b", spb}}) {
        csv << name << ',' << qos << ',' << total << ',' << r.received << ',' << total - r.received
            << ',' << r.seconds << ',' << r.rate << '\n';
    }
    return plain.ran && tls.ran && spb.ran ? 0 : 1;
}
