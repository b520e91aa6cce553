// qm4720d_bench: the service's targets, each judged against a limit from the same run.
//  - lines in parallel: 4 lines of 8 stations at 9600 baud, 4 simulators. A poll cycle of every
//    line (8 reads) within 5 % of 8 single reads timed on one line alone just before.
//  - silent meters: 1 answering and 3 silent meters on one line at 9600 baud, PV and OP of each
//    every second, the default reply timeout. The answering meter's age stays within its
//    interval plus one reply timeout, the driver's quiet time after it (a late answer of the
//    silent meter is waited out before the next request: 280 ms at 9600 baud) and the request of
//    that exchange on the wire (allowed as long as the answering meter's own longest exchange),
//    and it is never served stale (sampled every 20 ms).
//  - history: at least 50,000 rows a second inserted in batches.
//  - qm4720d itself polling 32 meters once a second: processor time under 1 % of one core, and
//    resident memory flat (the last fifth of the run within 10 % of the first fifth after the
//    start). 30 s by default; 10 minutes with BENCH_SLOW=1 or --slow.
// Prints one table and writes it as service.csv into --out. Exit 0 when it ran (targets met or
// not), 1 when it could not run.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "host/oskit/child_process.h"
#include "bench/service/process_probe.h"
#include "service/history/history_writer.h"
#include "service/core/service_log.h"
#include "service/core/service_runtime.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::string Beside(const char* name) {
    return (std::filesystem::canonical("/proc/self/exe").parent_path() / name).string();
}

struct Row {
    std::string target;
    double measured;
    double limit;
    std::string unit;
    bool met;
};

// A simulator of stations 1..`stations` at 9600 baud; its device in `port`.
std::unique_ptr<host::ChildProcess> StartSim(std::string& port, int stations = 8) {
    std::vector<std::string> argv{Beside("qm4720sim"), "--baud", "9600", "--reply-delay", "5"};
    for (int s = 1; s <= stations; ++s) {
        argv.push_back("--station");
        argv.push_back(std::to_string(s));
    }
    std::string error;
    auto sim = host::StartChild(argv, error);
    if (sim == nullptr) {
        std::fprintf(stderr, "qm4720d_bench: %s\n", error.c_str());
        return nullptr;
    }
    for (std::string line; sim->ReadLine(line, 5000);) {
        if (line.rfind("PORT=", 0) == 0) port = line.substr(5);
        if (line == "READY") return sim;
    }
    std::fprintf(stderr, "qm4720d_bench: the simulator did not start\n");
    return nullptr;
}

std::string LineToml(int i, const std::string& port, const std::string& interval) {
    std::string text = "[[line]]\nname = \"line" + std::to_string(i) + "\"\nport = \"" + port +
                       "\"\nreply_timeout_ms = 500\n";
    for (int s = 1; s <= 8; ++s) {
        text += "[[line.meter]]\nstation = " + std::to_string(s) +
                "\n[[line.meter.poll]]\nregisters = [\"PV\"]\ninterval_s = " + interval + "\n";
    }
    return text;
}

bool Load(const std::string& path, const std::string& text, service::ServiceConfig& config) {
    std::ofstream(path, std::ios::trunc) << text;
    std::string error;
    qm4720::Driver driver;
    const qm4720::Error loaded = driver.Load(Beside("qm4720.so"), "");
    if (loaded) error = loaded.message;
    if (loaded || !service::LoadConfig(path, driver, Beside("qm4720.so"), config, error)) {
        std::fprintf(stderr, "qm4720d_bench: %s\n", error.c_str());
        return false;
    }
    return true;
}

// Mean time of one exchange on each line of `config`, over `window` after a second of warm-up.
std::vector<double> ExchangeMs(const service::ServiceConfig& config, std::chrono::seconds window) {
    service::ServiceRuntime runtime(config, Beside("qm4720.so"));
    std::string error;
    if (!runtime.Start(error)) std::fprintf(stderr, "qm4720d_bench: %s\n", error.c_str());
    std::this_thread::sleep_for(1s);
    std::vector<std::uint64_t> before;
    for (const auto& line : runtime.live().Lines()) before.push_back(line->Counters().ok);
    const auto start = Clock::now();
    std::this_thread::sleep_for(window);
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    std::vector<double> out;
    for (std::size_t i = 0; i < before.size(); ++i) {
        const auto done = runtime.live().Lines()[i]->Counters().ok - before[i];
        out.push_back(done > 0 ? ms / static_cast<double>(done) : 1e9);
    }
    return out;
}

bool LinesInParallel(const std::string& dir, std::vector<Row>& rows) {
    std::vector<std::unique_ptr<host::ChildProcess>> sims;
    std::string all;
    std::string first;
    for (int i = 0; i < 4; ++i) {
        std::string port;
        sims.push_back(StartSim(port));
        if (sims.back() == nullptr) return false;
        const std::string line = LineToml(i, port, "0.001");
        if (i == 0) first = line;
        all += line;
    }
    service::ServiceConfig alone, four;
    if (!Load(dir + "/alone.toml", first, alone) || !Load(dir + "/four.toml", all, four)) {
        return false;
    }
    const double single = ExchangeMs(alone, 5s)[0];
    const auto perLine = ExchangeMs(four, 5s);
    const double worstCycle = 8 * *std::max_element(perLine.begin(), perLine.end());
    rows.push_back({"4 lines x 8 stations at 9600: worst line's poll cycle vs 8 single reads + 5 %",
                    worstCycle, 8 * single * 1.05, "ms", worstCycle <= 8 * single * 1.05});
    return true;
}

bool SilentMeters(const std::string& dir, std::chrono::seconds run, std::vector<Row>& rows) {
    std::string port;
    const auto sim = StartSim(port, 1);
    if (sim == nullptr) return false;
    std::string text = "[[line]]\nname = \"silent\"\nport = \"" + port + "\"\n";
    for (const int station : {1, 7, 8, 9}) {
        text += "[[line.meter]]\nstation = " + std::to_string(station) +
                "\n[[line.meter.poll]]\nregisters = [\"PV\", \"OP\"]\ninterval_s = 1\n";
    }
    service::ServiceConfig config;
    if (!Load(dir + "/silent.toml", text, config)) return false;
    const auto& line = config.lines[0];
    // The driver's quiet time after a timeout at 9600 baud: its pause after sending (30 ms) and
    // the 250 ms it waits for a late answer (README, "Behaviour a host can rely on").
    constexpr std::chrono::milliseconds kQuietAfterTimeout{280};
    const auto limit = line.meters[0].polled[0].interval +
                       std::chrono::milliseconds(line.settings.replyTimeoutMs) + kQuietAfterTimeout;
    double longestExchangeMs = 0;
    service::ServiceRuntime runtime(config, Beside("qm4720.so"));
    std::string error;
    if (!runtime.Start(error)) std::fprintf(stderr, "qm4720d_bench: %s\n", error.c_str());
    const service::LineTable& table = *runtime.live().Lines()[0];
    std::chrono::milliseconds oldest{0};
    int notGood = 0, samples = 0;
    bool started = false;
    const auto end = Clock::now() + run;
    while (Clock::now() < end) {
        std::this_thread::sleep_for(20ms);
        const auto pv = table.Find(1, line.meters[0].polled[0].reg.index);
        const auto op = table.Find(1, line.meters[0].polled[1].reg.index);
        const auto now = Clock::now();
        // From the first good value of both registers on.
        started = started || (pv->everGood && op->everGood);
        if (!started) continue;
        for (const service::LiveCell& cell : {*pv, *op}) {
            ++samples;
            if (service::JudgeCell(cell, now) != service::CellState::kGood) ++notGood;
            if (const auto age = service::CellAge(cell, now)) oldest = std::max(oldest, *age);
            longestExchangeMs = std::max(longestExchangeMs, cell.latencyMs);
        }
    }
    const double limitMs = static_cast<double>(limit.count()) + longestExchangeMs;
    rows.push_back(
        {"1 + 3 silent at 9600: answering one's oldest value vs interval + timeout + quiet + "
         "exchange",
         static_cast<double>(oldest.count()), limitMs, "ms",
         samples > 0 && static_cast<double>(oldest.count()) <= limitMs});
    rows.push_back({"1 + 3 silent at 9600: samples of the answering one (" +
                        std::to_string(samples) + ") stale or failed",
                    static_cast<double>(notGood), 0, "", samples > 0 && notGood == 0});
    return samples > 0;
}

bool HistoryInserts(const std::string& dir, std::vector<Row>& rows) {
    std::string error;
    auto writer = service::HistoryWriter::Open(dir + "/inserts.db", std::chrono::hours(24), error);
    if (writer == nullptr) {
        std::fprintf(stderr, "qm4720d_bench: %s\n", error.c_str());
        return false;
    }
    constexpr int kBatches = 5, kRows = 100000;
    const std::int64_t now = service::UtcNowMs();
    double seconds = 0;
    for (int b = 0; b < kBatches; ++b) {
        for (int i = 0; i < kRows; ++i) {
            writer->Add({now + i, "line0", static_cast<std::int16_t>(1 + i % 32), "PV",
                         20.0 + i % 100, 192, -1});
        }
        const auto start = Clock::now();
        writer->Flush();
        seconds += std::chrono::duration<double>(Clock::now() - start).count();
    }
    const double rate = kBatches * kRows / seconds;
    rows.push_back({"history: rows inserted a second, in batches of 100000", rate, 50000, "rows/s",
                    rate >= 50000 && writer->Counters().rowsWritten == kBatches * kRows});
    return true;
}

bool ServiceProcess(const std::string& dir, std::chrono::seconds run, std::vector<Row>& rows) {
    std::vector<std::unique_ptr<host::ChildProcess>> sims;
    std::string config = "[history]\ndatabase = \"" + dir + "/history.db\"\n";
    for (int i = 0; i < 4; ++i) {
        std::string port;
        sims.push_back(StartSim(port));
        if (sims.back() == nullptr) return false;
        config += LineToml(i, port, "1");
    }
    const std::string path = dir + "/service.toml";
    std::ofstream(path, std::ios::trunc) << config;
    const std::string program = Beside("qm4720d");
    std::vector<char*> argv{const_cast<char*>(program.c_str()), const_cast<char*>("--config"),
                            const_cast<char*>(path.c_str()), nullptr};
    pid_t pid = 0;
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    const std::string log = dir + "/service.log";
    posix_spawn_file_actions_addopen(&files, STDERR_FILENO, log.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int spawned = posix_spawn(&pid, program.c_str(), &files, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&files);
    if (spawned != 0) {
        std::fprintf(stderr, "qm4720d_bench: cannot start %s\n", program.c_str());
        return false;
    }
    std::this_thread::sleep_for(5s);  // started, every line opened, the first commits made
    std::vector<long> rss;
    const double cpuBefore = servicebench::ProcessorSeconds(pid);
    const auto start = Clock::now();
    while (Clock::now() - start < run) {
        rss.push_back(servicebench::ResidentKiB(pid));
        std::this_thread::sleep_for(1s);
    }
    const double cpu = servicebench::ProcessorSeconds(pid) - cpuBefore;
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    if (cpuBefore < 0 || rss.size() < 5 || rss.front() < 0) return false;

    const double share = 100.0 * cpu / wall;
    rows.push_back({"qm4720d, 32 meters polled once a second: processor time, % of one core", share,
                    1.0, "%", share < 1.0});
    const std::size_t fifth = rss.size() / 5;
    const long early = *std::max_element(rss.begin(), rss.begin() + static_cast<long>(fifth));
    const long late = *std::max_element(rss.end() - static_cast<long>(fifth), rss.end());
    rows.push_back({"qm4720d resident memory: last fifth of " +
                        std::to_string(static_cast<int>(run.count())) + " s vs first fifth + 10 %",
                    static_cast<double>(late), early * 1.1, "KiB", late <= early * 1.1});
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string out = "bench-results";
    bool slow =
        std::getenv("BENCH_SLOW") != nullptr && std::string(std::getenv("BENCH_SLOW")) == "1";
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--out" && i + 1 < argc) {
            out = argv[++i];
        } else if (arg == "--slow") {
            slow = true;
        } else {
            std::fprintf(stderr,
                         "usage: qm4720d_bench [--out DIR] [--slow]\n"
                         "Times qm4720d's lines in parallel, an answering meter beside silent\n"
                         "ones, history inserts, processor time and memory; --slow (or\n"
                         "BENCH_SLOW=1) runs the service for 10 minutes.\n");
            return arg == "--help" ? 0 : 1;
        }
    }
    // The in-process lines log their opening; the table is what this program prints.
    service::SetLogSink([](service::LogLevel, const std::string&) {});
    char scratch[] = "/tmp/qm4720d-bench-XXXXXX";
    if (mkdtemp(scratch) == nullptr) return 1;
    std::vector<Row> rows;
    const bool ran =
        LinesInParallel(scratch, rows) && SilentMeters(scratch, slow ? 300s : 40s, rows) &&
        HistoryInserts(scratch, rows) && ServiceProcess(scratch, slow ? 600s : 30s, rows);
    std::filesystem::remove_all(scratch);

    std::filesystem::create_directories(out);
    std::ofstream csv(out + "/service.csv");
    csv << "target,measured,limit,unit,met\n";
    std::printf("%-82s %12s %12s  %s\n", "qm4720d target", "measured", "limit", "verdict");
    for (const Row& r : rows) {
        std::printf("%-82s %12.2f %12.2f  %s %s\n", r.target.c_str(), r.measured, r.limit,
                    r.unit.c_str(), r.met ? "met" : "NOT MET");
        csv << '"' << r.target << "\"," << r.measured << ',' << r.limit << ',' << r.unit << ','
            << (r.met ? "met" : "not met") << '\n';
    }
    if (!ran) std::fprintf(stderr, "qm4720d_bench: could not run every measurement\n");
    return ran ? 0 : 1;
}
