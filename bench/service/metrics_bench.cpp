// qm4720d_metrics_bench: GET /metrics of qm4720d serving 32 meters of 8 registers (4 simulated
// lines of 8 stations, every register polled every 0.1 s, history kept), scraped back to back by
// one client on the same machine while the lines poll; a plain and an HTTPS service run at once,
// scraped in turn (one kept-alive connection each, certificates made by openssl for the run).
// Targets: the 99th percentile of 2000 plain scrapes under 5 ms, every scrape answered 200 with the
// 256 values, and the lines' exchanges going on meanwhile; HTTPS's p99 within 1.5 times plain's of
// the same run. Prints one table and writes it as metrics.csv into --out. Exit 0 when it ran
// (targets met or not), 1 when it could not run.
#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "host/oskit/child_process.h"
#include "tests/support/free_port.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr int kLines = 4, kStations = 8, kScrapes = 2000;
constexpr double kLimitMs = 5.0;
constexpr double kTlsFactor = 1.5;
constexpr const char* kRegisters = R"(["PV", "OP", "ER", "PR", "SV", "ST", "SP", "C1"])";

std::string Beside(const char* name) {
    return (std::filesystem::canonical("/proc/self/exe").parent_path() / name).string();
}

// A simulator of stations 1..8; its device in `port`.
std::unique_ptr<host::ChildProcess> StartSim(std::string& port) {
    std::vector<std::string> argv{Beside("qm4720sim"), "--reply-delay", "5"};
    for (int s = 1; s <= kStations; ++s) {
        argv.push_back("--station");
        argv.push_back(std::to_string(s));
    }
    std::string error;
    auto sim = host::StartChild(argv, error);
    if (sim == nullptr) {
        std::fprintf(stderr, "qm4720d_metrics_bench: %s\n", error.c_str());
        return nullptr;
    }
    for (std::string line; sim->ReadLine(line, 5000);) {
        if (line.rfind("PORT=", 0) == 0) port = line.substr(5);
        if (line == "READY") return sim;
    }
    std::fprintf(stderr, "qm4720d_metrics_bench: the simulator did not start\n");
    return nullptr;
}

std::size_t Count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// The sum of the lines' ok exchanges in a scrape.
double OkExchanges(const std::string& text) {
    double sum = 0;
    const std::string key = "outcome=\"ok\"} ";
    for (auto at = text.find(key); at != std::string::npos; at = text.find(key, at + 1)) {
        sum += std::stod(text.substr(at + key.size()));
    }
    return sum;
}

struct Result {
    double p50 = 0, p99 = 0;
    bool allAnswered = true;
    double exchanges = 0;  // ok exchanges of the lines during the scrapes
};

constexpr std::size_t kValues = static_cast<std::size_t>(kLines * kStations * 8);

// The CA, and the server's certificate and key for 127.0.0.1, made by openssl into `dir`.
bool MakeCertificates(const std::string& dir) {
    std::string error;
    auto made = host::StartChild({"/bin/sh", QM_CERTIFICATE_SCRIPT, dir}, error);
    if (made == nullptr || made->Wait(60000) != 0) {
        std::fprintf(stderr, "qm4720d_metrics_bench: openssl could not make certificates %s\n",
                     error.c_str());
        return false;
    }
    return true;
}

// One qm4720d over its own simulators, and a kept-alive client of its /metrics.
struct Served {
    std::vector<std::unique_ptr<host::ChildProcess>> sims;
    std::unique_ptr<host::ChildProcess> service;
    std::unique_ptr<httplib::Client> client;
    std::vector<double> ms;
    double firstOk = -1, lastOk = 0;
    bool allAnswered = true;

    void Scrape() {
        const auto start = Clock::now();
        const auto reply = client->Get("/metrics");
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        if (!reply || reply->status != 200 ||
            Count(reply->body, "qm4720_register_value{") != kValues) {
            allAnswered = false;
            return;
        }
        lastOk = OkExchanges(reply->body);
        if (firstOk < 0) firstOk = lastOk;
    }
    Result Figures() {
        std::sort(ms.begin(), ms.end());
        return {ms[ms.size() / 2], ms[ms.size() * 99 / 100 - 1], allAnswered, lastOk - firstOk};
    }
};

// Starts qm4720d in `dir`, over HTTPS when `certificates` names the folder of MakeCertificates,
// and waits until a scrape holds every value.
bool Serve(const std::string& dir, const std::string& certificates, Served& served) {
    const std::uint16_t httpPort = service::testing::FreeLoopbackPort();
    std::string config = "[history]\ndatabase = \"" + dir +
                         "/history.db\"\n[http]\nport = " + std::to_string(httpPort) + "\n";
    if (!certificates.empty()) {
        config += "tls_certificate = \"" + certificates + "/server.pem\"\ntls_key = \"" +
                  certificates + "/server.key\"\n";
    }
    for (int i = 0; i < kLines; ++i) {
        std::string port;
        served.sims.push_back(StartSim(port));
        if (served.sims.back() == nullptr) return false;
        config += "[[line]]\nname = \"line" + std::to_string(i) + "\"\nport = \"" + port +
                  "\"\nreply_timeout_ms = 500\n";
        for (int s = 1; s <= kStations; ++s) {
            config += "[[line.meter]]\nstation = " + std::to_string(s) +
                      "\n[[line.meter.poll]]\nregisters = " + kRegisters +
                      "\ninterval_s = 0.1\nallowed_age_s = 10\n";
        }
    }
    const std::string path = dir + "/service.toml";
    std::ofstream(path, std::ios::trunc) << config;
    std::string error;
    served.service =
        host::StartChild({Beside("qm4720d"), "--config", path}, error, {dir + "/service.log"});
    if (served.service == nullptr) {
        std::fprintf(stderr, "qm4720d_metrics_bench: %s\n", error.c_str());
        return false;
    }
    served.client =
        std::make_unique<httplib::Client>((certificates.empty() ? "http://" : "https://") +
                                          std::string("127.0.0.1:") + std::to_string(httpPort));
    if (!certificates.empty()) {
        served.client->set_ca_cert_path(certificates + "/ca.pem");
        served.client->enable_server_certificate_verification(true);
    }
    served.client->set_keep_alive(true);
    const auto ready = [&] {
        const auto reply = served.client->Get("/metrics");
        return reply && reply->status == 200 &&
               Count(reply->body, "qm4720_register_value{") == kValues;
    };
    const auto deadline = Clock::now() + 30s;
    while (!ready()) {
        if (Clock::now() > deadline) {
            std::fprintf(stderr,
                         "qm4720d_metrics_bench: no scrape held all %zu values in 30 s "
                         "(see %s/service.log)\n",
                         kValues, dir.c_str());
            return false;
        }
        std::this_thread::sleep_for(100ms);
    }
    return true;
}

// Both services run at once and are scraped in turn, so that whatever else the machine does
// weighs on plain and HTTPS alike.
bool Measure(const std::string& dir, Result& plain, Result& tls) {
    const std::string certificates = dir + "/certificates";
    Served plainServed, tlsServed;
    for (const char* folder : {"plain", "tls", "certificates"}) {
        std::filesystem::create_directories(dir + "/" + folder);
    }
    if (!MakeCertificates(certificates) || !Serve(dir + "/plain", "", plainServed) ||
        !Serve(dir + "/tls", certificates, tlsServed)) {
        return false;
    }
    for (int i = 0; i < kScrapes; ++i) {
        plainServed.Scrape();
        tlsServed.Scrape();
    }
    plain = plainServed.Figures();
    tls = tlsServed.Figures();
    const bool plainStopped = plainServed.service->Stop(SIGTERM, 10000) == 0;
    return tlsServed.service->Stop(SIGTERM, 10000) == 0 && plainStopped;
}

}  // namespace

int main(int argc, char** argv) {
    std::string out = "bench-results";
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--out" && i + 1 < argc) {
            out = argv[++i];
        } else {
            std::fprintf(stderr,
                         "usage: qm4720d_metrics_bench [--out DIR]\n"
                         "Times GET /metrics of qm4720d polling 32 meters x 8 registers, over\n"
                         "plain HTTP and over HTTPS.\n");
            return arg == "--help" ? 0 : 2;
        }
    }
    char scratch[] = "/tmp/qm4720d-metrics-bench-XXXXXX";
    if (mkdtemp(scratch) == nullptr) return 1;
    Result plain, tls;
    const bool ran = Measure(scratch, plain, tls);
    std::filesystem::remove_all(scratch);
    if (!ran) {
        std::fprintf(stderr, "qm4720d_metrics_bench: could not run the measurement\n");
        return 1;
    }

    const bool met = plain.p99 < kLimitMs && plain.allAnswered && plain.exchanges > 0;
    const double tlsLimit = kTlsFactor * plain.p99;
    const bool tlsMet = tls.p99 <= tlsLimit && tls.allAnswered && tls.exchanges > 0;
    const std::string target =
        "GET /metrics, 32 meters x 8 registers while polling: p99 of " + std::to_string(kScrapes);
    const std::string tlsTarget = "the same over HTTPS: p99 within 1.5 x plain's";
    std::printf("%-82s %12s %12s  %s\n", "qm4720d /metrics target", "measured", "limit", "verdict");
    std::printf("%-82s %12.3f %12.3f  ms %s\n", target.c_str(), plain.p99, kLimitMs,
                met ? "met" : "NOT MET");
    std::printf("%-82s %12.3f %12.3f  ms %s\n", tlsTarget.c_str(), tls.p99, tlsLimit,
                tlsMet ? "met" : "NOT MET");
    for (const auto& [name, r] : {std::pair{"plain", plain}, std::pair{"HTTPS", tls}}) {
        std::printf(
            "  %s: median %.3f ms; every scrape 200 with 256 values: %s; exchanges meanwhile: "
            "%.0f\n",
            name, r.p50, r.allAnswered ? "yes" : "NO", r.exchanges);
    }
    std::filesystem::create_directories(out);
    std::ofstream csv(out + "/metrics.csv");
    csv << "target,measured,limit,unit,met\n"
        << '"' << target << "\"," << plain.p99 << ',' << kLimitMs << ",ms,"
        << (met ? "met" : "not met") << '\n'
        << '"' << tlsTarget << "\"," << tls.p99 << ',' << tlsLimit << ",ms,"
        << (tlsMet ? "met" : "not met") << '\n';
    return 0;
}
