// qm4720d_history_memory_bench: the service's resident memory with the history on, beside the same
// service without it, both polling simulators whose meters often do not answer (rows flow with
// failures among them, at least 35 a second).
//  - default: 2 minutes; the memory after the first 30 s is judged: its slope (least squares) under
//    0.5 KiB/s and its growth from the first 10 s to the last 10 s within 5 %;
//  - BENCH_SLOW=1 or --slow: an hour, judged after its first 10 minutes; --seconds N: N seconds,
//    judged after 30 s. Every second of both is written to history_memory_series.csv.
// The two services run at once, each on its own 4 simulators, so that both see the same machine.
// Prints one table and writes it as history_memory.csv into --out. Exit 0 when it ran (targets met
// or not), 1 when it could not run.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "bench/service/process_probe.h"
#include "host/oskit/child_process.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

struct Row {
    std::string target;
    double measured;
    double limit;
    std::string unit;
    bool met;
};

std::string Beside(const char* name) {
    return (std::filesystem::canonical("/proc/self/exe").parent_path() / name).string();
}

// A simulator of stations 1..8 at 9600 baud whose meters leave a tenth of the requests
// unanswered; its device in `port`.
std::unique_ptr<host::ChildProcess> StartSim(std::string& port) {
    std::vector<std::string> argv{Beside("qm4720sim"), "--baud", "9600", "--fault", "timeout=0.1"};
    for (int s = 1; s <= 8; ++s) {
        argv.push_back("--station");
        argv.push_back(std::to_string(s));
    }
    std::string error;
    auto sim = host::StartChild(argv, error);
    if (sim == nullptr) {
        std::fprintf(stderr, "qm4720d_history_memory_bench: %s\n", error.c_str());
        return nullptr;
    }
    for (std::string line; sim->ReadLine(line, 5000);) {
        if (line.rfind("PORT=", 0) == 0) port = line.substr(5);
        if (line == "READY") return sim;
    }
    std::fprintf(stderr, "qm4720d_history_memory_bench: the simulator did not start\n");
    return nullptr;
}

// One qm4720d with its simulators; its history in `database` unless that is empty.
class Service {
public:
    bool Start(const std::string& dir, const std::string& name, const std::string& database) {
        std::string config;
        if (!database.empty()) config = "[history]\ndatabase = \"" + database + "\"\n";
        for (int i = 0; i < 4; ++i) {
            std::string port;
            sims_.push_back(StartSim(port));
            if (sims_.back() == nullptr) return false;
            config += "[[line]]\nname = \"line" + std::to_string(i) + "\"\nport = \"" + port +
                      "\"\nreply_timeout_ms = 200\n";
            for (int s = 1; s <= 8; ++s) {
                config += "[[line.meter]]\nstation = " + std::to_string(s) +
                          "\n[[line.meter.poll]]\nregisters = [\"PV\", \"OP\"]\ninterval_s = 1\n";
            }
        }
        const std::string path = dir + "/" + name + ".toml";
        std::ofstream(path, std::ios::trunc) << config;
        const std::string program = Beside("qm4720d");
        std::vector<char*> argv{const_cast<char*>(program.c_str()), const_cast<char*>("--config"),
                                const_cast<char*>(path.c_str()), nullptr};
        posix_spawn_file_actions_t files;
        posix_spawn_file_actions_init(&files);
        const std::string log = dir + "/" + name + ".log";
        posix_spawn_file_actions_addopen(&files, STDERR_FILENO, log.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int spawned =
            posix_spawn(&pid_, program.c_str(), &files, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&files);
        if (spawned != 0) {
            pid_ = 0;
            std::fprintf(stderr, "qm4720d_history_memory_bench: cannot start %s\n",
                         program.c_str());
            return false;
        }
        return true;
    }
    pid_t Pid() const { return pid_; }
    // Stops the service; true when it ended as it should (exit 0 on SIGTERM).
    bool Stop() {
        if (pid_ == 0) return false;
        kill(pid_, SIGTERM);
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = 0;
        for (auto& sim : sims_) sim->Stop(SIGTERM, 2000);
        return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    ~Service() { Stop(); }

private:
    std::vector<std::unique_ptr<host::ChildProcess>> sims_;
    pid_t pid_ = 0;
};

// Least-squares slope of `kib` sampled once a second, in KiB/s.
double Slope(const std::vector<long>& kib) {
    const double n = static_cast<double>(kib.size());
    const double meanT = (n - 1) / 2;
    const double meanK = std::accumulate(kib.begin(), kib.end(), 0.0) / n;
    double num = 0, den = 0;
    for (std::size_t i = 0; i < kib.size(); ++i) {
        const double dt = static_cast<double>(i) - meanT;
        num += dt * (static_cast<double>(kib[i]) - meanK);
        den += dt * dt;
    }
    return den > 0 ? num / den : 0;
}

double Mean(std::vector<long>::const_iterator from, std::vector<long>::const_iterator to) {
    return std::accumulate(from, to, 0.0) / static_cast<double>(to - from);
}

std::int64_t StoredRows(const std::string& database) {
    sqlite3* db = nullptr;
    std::int64_t n = -1;
    if (sqlite3_open_v2(database.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* s = nullptr;
        if (sqlite3_prepare_v2(db, "SELECT count(*) FROM samples", -1, &s, nullptr) == SQLITE_OK &&
            sqlite3_step(s) == SQLITE_ROW) {
            n = sqlite3_column_int64(s, 0);
        }
        sqlite3_finalize(s);
    }
    sqlite3_close(db);
    return n;
}

bool Run(const std::string& dir, std::chrono::seconds warmUp, std::chrono::seconds run,
         const std::string& seriesCsv, std::vector<Row>& rows) {
    const std::string database = dir + "/history.db";
    Service with, without;
    if (!with.Start(dir, "with", database) || !without.Start(dir, "without", "")) return false;
    std::vector<long> withKiB, withoutKiB;
    std::ofstream series(seriesCsv, std::ios::trunc);
    series << "second,history_on_kib,history_off_kib\n";
    const auto start = Clock::now();
    auto next = start;
    while (Clock::now() - start < warmUp + run) {
        const bool judged = Clock::now() - start >= warmUp;
        const long a = servicebench::ResidentKiB(with.Pid());
        const long b = servicebench::ResidentKiB(without.Pid());
        if (a < 0 || b < 0) {
            std::fprintf(stderr, "qm4720d_history_memory_bench: a service ended early\n");
            return false;
        }
        series << std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - start).count()
               << ',' << a << ',' << b << '\n';
        if (judged) {
            withKiB.push_back(a);
            withoutKiB.push_back(b);
        }
        next += 1s;
        std::this_thread::sleep_until(next);
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const bool stopped = with.Stop() && without.Stop();
    const std::int64_t stored = StoredRows(database);
    if (!stopped || stored < 0 || withKiB.size() < 20) return false;

    const double rate = static_cast<double>(stored) / seconds;
    rows.push_back(
        {"history on: rows stored a second (4 lines, 64 reads/s asked, a tenth "
         "unanswered)",
         rate, 35, "rows/s", rate >= 35});
    const std::string after = " after the first " + std::to_string(warmUp.count()) + " s of " +
                              std::to_string((warmUp + run).count()) + " s";
    for (const auto& [name, kib] :
         {std::pair{"history on", &withKiB}, {"history off", &withoutKiB}}) {
        const double slope = Slope(*kib);
        const double first = Mean(kib->begin(), kib->begin() + 10);
        const double last = Mean(kib->end() - 10, kib->end());
        const double growth = 100.0 * (last - first) / first;
        rows.push_back(
            {std::string(name) + ": resident memory, first 10 s" + after, first, 0, "KiB", true});
        rows.push_back({std::string(name) + ": resident memory slope" + after, slope, 0.5, "KiB/s",
                        slope < 0.5});
        rows.push_back({std::string(name) + ": resident memory growth, first to last 10 s" + after,
                        growth, 5, "%", growth <= 5});
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::string out = "bench-results";
    bool slow =
        std::getenv("BENCH_SLOW") != nullptr && std::string(std::getenv("BENCH_SLOW")) == "1";
    long seconds = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--out" && i + 1 < argc) {
            out = argv[++i];
        } else if (arg == "--slow") {
            slow = true;
        } else if (arg == "--seconds" && i + 1 < argc) {
            seconds = std::atol(argv[++i]);
        } else {
            std::fprintf(stderr,
                         "usage: qm4720d_history_memory_bench [--out DIR] [--slow] [--seconds N]\n"
                         "qm4720d's resident memory with and without the history, 2 minutes\n"
                         "(--slow or BENCH_SLOW=1: an hour; --seconds: N, judged after 30 s).\n"
                         "Each second's memory of both goes into history_memory_series.csv.\n");
            return arg == "--help" ? 0 : 1;
        }
    }
    char scratch[] = "/tmp/qm4720d-history-memory-bench-XXXXXX";
    if (mkdtemp(scratch) == nullptr) return 1;
    std::filesystem::create_directories(out);
    const std::string seriesCsv = out + "/history_memory_series.csv";
    std::vector<Row> rows;
    const bool ran = slow ? Run(scratch, 600s, 3000s, seriesCsv, rows)
                     : seconds > 30
                         ? Run(scratch, 30s, std::chrono::seconds(seconds - 30), seriesCsv, rows)
                         : Run(scratch, 30s, 90s, seriesCsv, rows);
    std::filesystem::remove_all(scratch);

    std::ofstream csv(out + "/history_memory.csv");
    csv << "target,measured,limit,unit,met\n";
    std::printf("%-88s %12s %12s  %s\n", "qm4720d history memory target", "measured", "limit",
                "verdict");
    for (const Row& r : rows) {
        std::printf("%-88s %12.2f %12.2f  %s %s\n", r.target.c_str(), r.measured, r.limit,
                    r.unit.c_str(), r.met ? "met" : "NOT MET");
        csv << '"' << r.target << "\"," << r.measured << ',' << r.limit << ',' << r.unit << ','
            << (r.met ? "met" : "not met") << '\n';
    }
    if (!ran) std::fprintf(stderr, "qm4720d_history_memory_bench: could not run\n");
    return ran ? 0 : 1;
}
