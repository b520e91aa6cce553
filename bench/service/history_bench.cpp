// qm4720d_history_bench: the history at plant scale, each figure judged against its target.
//  - a file of 100 registers read every second for a day (30 with BENCH_SLOW=1 or --slow, any
//    number with --days: a day keeps the default run near a minute, 3 take two and a half),
//    written through the history writer, every reading kept: readings a second written with the
//    aggregates kept (at least 50,000), bytes a stored row (at most 20);
//  - one register's last day as at most 1,000 points (under 20 ms), its whole span so (under
//    50 ms for 30 days, scaled to the span), its last hour's rows (under 5 ms); each the median
//    of 7, beside the same reads of a file of the earlier single table, filled with the same
//    readings, in the same run;
//  - 2 hours of 100 registers moving as the simulator moves them (settling after set-point
//    steps, with its noise) stored with a deadband of 0.1: at most a quarter of the rows.
// Prints one table and writes it as history.csv into --out. Exit 0 when it ran (targets met or
// not), 1 when it could not run.
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "service/core/history_points.h"
#include "service/core/history_reader.h"
#include "service/core/live_table.h"
#include "service/core/service_log.h"
#include "service/history/history_writer.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRegisters = 100;
constexpr std::int64_t kHourMs = 3'600'000;

struct Row {
    std::string target;
    double measured;
    double limit;
    std::string unit;
    bool met;
};

// Values as the simulator's process moves them: a first-order lag of 20 s towards a set point
// that steps every 10 minutes, plus noise of up to 0.05, as the meter sends them (six characters,
// "45.123") and the driver reads them (a float).
class Process {
public:
    explicit Process(unsigned seed) : random_(seed) {}
    double Next() {
        if (++seconds_ % 600 == 1)
            target_ = 20.0 + std::uniform_real_distribution(0.0, 80.0)(random_);
        value_ += (target_ - value_) / 20.0;
        const double noise = std::uniform_real_distribution(-0.05, 0.05)(random_);
        return MeterFloat(value_ + noise);
    }

    static double MeterFloat(double value) {
        char text[32];
        for (int decimals = 4; decimals > 0; --decimals) {
            if (std::snprintf(text, sizeof text, "%.*f", decimals, value) <= 6) break;
        }
        return static_cast<double>(std::strtof(text, nullptr));
    }

private:
    std::mt19937 random_;
    long seconds_ = 0;
    double target_ = 20.0;
    double value_ = 20.0;
};

// Readings of `registers` at 1 s from `startMs` for `seconds`, handed to `add` an hour at a time
// followed by `hourDone`.
void Generate(std::int64_t startMs, std::int64_t seconds,
              const std::function<void(std::int64_t, int, double)>& add,
              const std::function<void()>& hourDone) {
    std::vector<Process> processes;
    for (int r = 0; r < kRegisters; ++r) processes.emplace_back(static_cast<unsigned>(r + 1));
    for (std::int64_t s = 0; s < seconds; ++s) {
        for (int r = 0; r < kRegisters; ++r) add(startMs + s * 1000, r, processes[r].Next());
        if ((s + 1) % 3600 == 0 || s + 1 == seconds) hourDone();
    }
}

double MedianMs(const std::function<void()>& run) {
    std::vector<double> ms;
    for (int i = 0; i < 7; ++i) {
        const auto start = Clock::now();
        run();
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    std::sort(ms.begin(), ms.end());
    return ms[ms.size() / 2];
}

std::int64_t Query(sqlite3* db, const char* sql) {
    sqlite3_stmt* s = nullptr;
    std::int64_t n = -1;
    if (sqlite3_prepare_v2(db, sql, -1, &s, nullptr) == SQLITE_OK &&
        sqlite3_step(s) == SQLITE_ROW) {
        n = sqlite3_column_int64(s, 0);
    }
    sqlite3_finalize(s);
    return n;
}

// The earlier release's table, filled with the same readings as its writer wrote them.
bool EarlierFile(const std::string& path, std::int64_t startMs, std::int64_t seconds) {
    sqlite3* db = nullptr;
    if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) return false;
    sqlite3_exec(db,
                 "PRAGMA journal_mode=WAL; PRAGMA synchronous=OFF;"
                 "CREATE TABLE readings(time_ms INTEGER NOT NULL, line TEXT NOT NULL, "
                 "station INTEGER NOT NULL, register TEXT NOT NULL, value REAL, "
                 "quality INTEGER NOT NULL, error_code INTEGER NOT NULL);"
                 "CREATE INDEX readings_by_time ON readings(time_ms); BEGIN",
                 nullptr, nullptr, nullptr);
    sqlite3_stmt* insert = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO readings VALUES(?, 'line0', ?, 'PV', ?, 192, -1)", -1,
                       &insert, nullptr);
    Generate(
        startMs, seconds,
        [&](std::int64_t t, int r, double v) {
            sqlite3_reset(insert);
            sqlite3_bind_int64(insert, 1, t);
            sqlite3_bind_int(insert, 2, r);
            sqlite3_bind_double(insert, 3, v);
            sqlite3_step(insert);
        },
        [] {});
    sqlite3_finalize(insert);
    const bool ok = sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_close(db);
    return ok;
}

// The earlier release's reader: one register's rows of a span.
std::size_t EarlierRead(sqlite3* db, std::int64_t sinceMs, std::int64_t untilMs) {
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(db,
                       "SELECT time_ms, line, station, register, value, quality, error_code FROM "
                       "readings WHERE time_ms >= ?1 AND time_ms < ?2 AND register = 'PV' AND "
                       "line = 'line0' AND station IN (42) ORDER BY time_ms, rowid",
                       -1, &s, nullptr);
    sqlite3_bind_int64(s, 1, sinceMs);
    sqlite3_bind_int64(s, 2, untilMs);
    std::size_t n = 0;
    while (sqlite3_step(s) == SQLITE_ROW) ++n;
    sqlite3_finalize(s);
    return n;
}

bool Plant(const std::string& dir, int days, std::vector<Row>& rows) {
    const std::string path = dir + "/plant.db";
    const std::int64_t seconds = days * 86'400LL;
    const std::int64_t endMs = service::UtcNowMs() / kHourMs * kHourMs;
    const std::int64_t startMs = endMs - seconds * 1000;
    std::string error;
    auto writer = service::HistoryWriter::Open(path, std::chrono::hours(24 * 3650), error);
    if (writer == nullptr) {
        std::fprintf(stderr, "qm4720d_history_bench: %s\n", error.c_str());
        return false;
    }
    double writing = 0;
    Generate(
        startMs, seconds,
        [&](std::int64_t t, int r, double v) {
            writer->Add({t, "line0", static_cast<std::int16_t>(r), "PV", v, 192, -1});
        },
        [&] {
            const auto start = Clock::now();
            writer->Flush();
            writing += std::chrono::duration<double>(Clock::now() - start).count();
        });
    const auto counters = writer->Counters();
    writer.reset();
    const double readings = static_cast<double>(seconds) * kRegisters;
    rows.push_back({"history: readings written a second, aggregates kept (an hour a batch)",
                    readings / writing, 50000, "rows/s",
                    readings / writing >= 50000 && counters.rowsWritten == readings});
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    sqlite3_exec(db, "PRAGMA wal_checkpoint(TRUNCATE)", nullptr, nullptr, nullptr);
    const double bytes =
        static_cast<double>(Query(db, "PRAGMA page_count") * Query(db, "PRAGMA page_size"));
    const double stored = static_cast<double>(Query(db, "SELECT count(*) FROM samples"));
    sqlite3_close(db);
    rows.push_back({"history: file bytes a stored row (" + std::to_string(days) +
                        " days, 100 registers, every reading, aggregates included)",
                    bytes / stored, 20, "bytes", bytes / stored <= 20});

    auto reader = service::HistoryReader::Open(path, error);
    if (reader == nullptr) return false;
    service::HistoryFilter one;
    one.line = "line0";
    one.stations = {42};
    one.mnemonic = "PV";
    std::size_t got = 0;
    const auto points = [&](std::int64_t sinceMs) {
        return [&, sinceMs] {
            service::HistoryFilter f = one;
            f.sinceMs = sinceMs;
            f.untilMs = endMs;
            service::HistoryPoints p;
            service::ReadHistoryPoints(*reader, f, 1000, p, error);
            got = p.points.size();
        };
    };
    const double dayMs = MedianMs(points(endMs - 24 * kHourMs));
    const bool dayOk = got > 0 && got <= 1000;
    const double spanMs = MedianMs(points(startMs));
    const bool spanOk = got > 0 && got <= 1000;
    const double hourMs = MedianMs([&] {
        service::HistoryFilter f = one;
        f.sinceMs = endMs - kHourMs;
        f.untilMs = endMs;
        got = 0;
        reader->Read(
            f, [&](const service::HistoryRow&) { ++got; }, error);
    });
    const bool hourOk = got == 3600;
    const double spanLimit = std::max(20.0, 50.0 * days / 30.0);
    rows.push_back({"history: one register's last day as <= 1000 points", dayMs, 20, "ms",
                    dayOk && dayMs < 20});
    rows.push_back({"history: one register's " + std::to_string(days) + " days as <= 1000 points",
                    spanMs, spanLimit, "ms", spanOk && spanMs < spanLimit});
    rows.push_back({"history: one register's last hour, its 3600 rows", hourMs, 5, "ms",
                    hourOk && hourMs < 5});

    const std::string earlier = dir + "/earlier.db";
    if (!EarlierFile(earlier, startMs, seconds)) return false;
    sqlite3_open_v2(earlier.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    const double earlierHour = MedianMs([&] { EarlierRead(db, endMs - kHourMs, endMs); });
    const double earlierDay = MedianMs([&] { EarlierRead(db, endMs - 24 * kHourMs, endMs); });
    sqlite3_close(db);
    rows.push_back({"history, earlier table (baseline): last hour's rows vs this one's",
                    earlierHour, hourMs, "ms", earlierHour > hourMs});
    rows.push_back({"history, earlier table (baseline): last day's rows vs this one's points",
                    earlierDay, dayMs, "ms", earlierDay > dayMs});
    return true;
}

bool Deadband(const std::string& dir, std::vector<Row>& rows) {
    std::string error;
    auto writer =
        service::HistoryWriter::Open(dir + "/deadband.db", std::chrono::hours(24 * 3650), error);
    if (writer == nullptr) return false;
    service::HistorySettings settings;
    settings.defaults.deadband = 0.1;
    writer->SetSettings(settings);
    const std::int64_t startMs = service::UtcNowMs() - 2 * kHourMs;
    Generate(
        startMs, 7200,
        [&](std::int64_t t, int r, double v) {
            writer->Add({t, "line0", static_cast<std::int16_t>(r), "PV", v, 192, -1});
        },
        [&] { writer->Flush(); });
    const auto c = writer->Counters();
    const double share = static_cast<double>(c.rowsStored) / static_cast<double>(c.rowsWritten);
    rows.push_back(
        {"history: rows stored with deadband 0.1, share of the readings (2 h, 100 "
         "registers moving as simulated)",
         share, 0.25, "", c.rowsWritten == 720000 && share <= 0.25});
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::string out = "bench-results";
    bool slow =
        std::getenv("BENCH_SLOW") != nullptr && std::string(std::getenv("BENCH_SLOW")) == "1";
    int days = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--out" && i + 1 < argc) {
            out = argv[++i];
        } else if (arg == "--slow") {
            slow = true;
        } else if (arg == "--days" && i + 1 < argc) {
            days = std::atoi(argv[++i]);
        } else {
            std::fprintf(stderr,
                         "usage: qm4720d_history_bench [--out DIR] [--slow] [--days N]\n"
                         "Writes and reads the history of 100 registers at 1 s for a day\n"
                         "(--slow or BENCH_SLOW=1: 30 days).\n");
            return arg == "--help" ? 0 : 1;
        }
    }
    if (days <= 0) days = slow ? 30 : 1;
    service::SetLogSink([](service::LogLevel, const std::string&) {});
    char scratch[] = "/tmp/qm4720d-history-bench-XXXXXX";
    if (mkdtemp(scratch) == nullptr) return 1;
    std::vector<Row> rows;
    const bool ran = Plant(scratch, days, rows) && Deadband(scratch, rows);
    std::filesystem::remove_all(scratch);

    std::filesystem::create_directories(out);
    std::ofstream csv(out + "/history.csv");
    csv << "target,measured,limit,unit,met\n";
    std::printf("%-92s %12s %12s  %s\n", "qm4720d history target", "measured", "limit", "verdict");
    for (const Row& r : rows) {
        std::printf("%-92s %12.2f %12.2f  %s %s\n", r.target.c_str(), r.measured, r.limit,
                    r.unit.c_str(), r.met ? "met" : "NOT MET");
        csv << '"' << r.target << "\"," << r.measured << ',' << r.limit << ',' << r.unit << ','
            << (r.met ? "met" : "not met") << '\n';
    }
    if (!ran) std::fprintf(stderr, "qm4720d_history_bench: could not run every measurement\n");
    return ran ? 0 : 1;
}
