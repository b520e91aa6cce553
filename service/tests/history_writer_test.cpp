// The history writer: which readings it stores and the aggregates it keeps of them all; a file of
// the earlier release moved into its tables; and when the disk fails it: a full disk is logged once
// with its own reason, every row not written is counted, /metrics and the page say the history is
// failing, and writing resumes when space returns; a database deleted or replaced while open is
// noticed and made anew.
#include <gtest/gtest.h>
#include <sys/mount.h>

#include <sqlite3.h>

#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <nlohmann/json.hpp>

#include "contract/meter_values.h"
#include "service/history/history_output.h"
#include "service/core/live_table.h"
#include "service/history/history_writer.h"
#include "service/http/history_query.h"
#include "service/core/service_log.h"
#include "service/tests/service_fixture.h"

namespace {

using namespace std::chrono_literals;

// The log lines of the service while it lives, instead of stderr.
class LogCapture {
public:
    LogCapture() {
        service::SetLogSink([this](service::LogLevel, const std::string& text) {
            std::lock_guard lock(mutex_);
            text_ += text + "\n";
        });
    }
    ~LogCapture() { service::SetLogSink({}); }
    std::string Text() const {
        std::lock_guard lock(mutex_);
        return text_;
    }

private:
    mutable std::mutex mutex_;
    std::string text_;
};

// A tmpfs of `size` mounted at `path` for as long as it lives; `error` says why not when it
// cannot be (mounting needs root).
class SmallDisk {
public:
    SmallDisk(const std::string& path, const std::string& size) : path_(path) {
        std::filesystem::create_directory(path);
        const std::string options = "size=" + size;
        if (::mount("tmpfs", path.c_str(), "tmpfs", 0, options.c_str()) == 0) {
            mounted_ = true;
        } else {
            error_ = std::string("cannot mount a tmpfs to fill: ") + std::strerror(errno);
        }
    }
    ~SmallDisk() {
        if (mounted_) ::umount2(path_.c_str(), MNT_DETACH);
    }
    bool mounted() const { return mounted_; }
    const std::string& error() const { return error_; }

private:
    std::string path_;
    bool mounted_ = false;
    std::string error_;
};

// Writes `path` until the disk is full.
void FillDisk(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    const std::string block(4096, 'x');
    while (std::fwrite(block.data(), 1, block.size(), file) == block.size()) {
    }
    std::fclose(file);
}

// Each reading a millisecond after the one before: the history keeps one of a register a ms.
void AddRows(service::HistoryWriter& writer, int count, std::size_t lineNameBytes = 1) {
    static std::int64_t next = service::UtcNowMs();
    const std::string line(lineNameBytes, 'a');
    for (int i = 0; i < count; ++i) writer.Add({next++, line, 1, "PV", i, 192, -1});
}

std::string Metrics(const service::HistoryWriter& writer) {
    std::string text;
    service::AppendHistoryMetrics(text, writer);
    return text;
}

nlohmann::json PageHistory(const service::HistoryWriter& writer) {
    return nlohmann::json::parse(service::HistoryStatusJson(&writer));
}

TEST(HistoryWriterFailures, AFullDiskIsSaidOnceCountedShownAndOutlived) {
    servicetest::ScratchDir dir;
    const SmallDisk disk(dir / "disk", "1m");
    if (!disk.mounted()) {
        // Under CI the machine is known to allow it: a skip there would hide the test.
        if (const char* ci = std::getenv("CI"); ci != nullptr && std::string(ci) == "true") {
            FAIL() << disk.error();
        }
        GTEST_SKIP() << disk.error();
    }
    const LogCapture log;
    const std::string db = dir / "disk/history.db";
    std::string error;
    auto writer = service::HistoryWriter::Open(db, 24h, error, 10ms);
    ASSERT_NE(writer, nullptr) << error;
    AddRows(*writer, 10);
    writer->Flush();
    ASSERT_EQ(writer->Counters().rowsWritten, 10u);

    FillDisk(dir / "disk/filler");
    // Two batches, each far larger than what is left.
    for (int batch = 0; batch < 2; ++batch) {
        AddRows(*writer, 100, 8192);
        writer->Flush();
    }
    service::HistoryCounters c = writer->Counters();
    EXPECT_TRUE(c.failing);
    EXPECT_EQ(c.rowsWritten, 10u);
    EXPECT_EQ(c.rowsDropped, 200u);
    EXPECT_NE(c.error.find("database or disk is full"), std::string::npos) << c.error;
    const std::string said = log.Text();
    EXPECT_EQ(servicetest::Count(said, "database or disk is full"), 1) << said;
    EXPECT_EQ(said.find("no transaction is active"), std::string::npos) << said;
    EXPECT_NE(Metrics(*writer).find("qm4720_history_failing 1\n"), std::string::npos);
    EXPECT_NE(Metrics(*writer).find("qm4720_history_rows_dropped_total 200\n"), std::string::npos);
    EXPECT_EQ(PageHistory(*writer)["state"], "failing");

    std::filesystem::remove(dir / "disk/filler");
    AddRows(*writer, 5);
    writer->Flush();
    c = writer->Counters();
    EXPECT_FALSE(c.failing);
    EXPECT_EQ(c.rowsWritten, 15u);
    EXPECT_NE(log.Text().find("writing to " + db + " again"), std::string::npos) << log.Text();
    EXPECT_NE(Metrics(*writer).find("qm4720_history_failing 0\n"), std::string::npos);
    EXPECT_EQ(PageHistory(*writer)["state"], "writing");
    writer.reset();
    EXPECT_EQ(servicetest::QueryNumber(db, "SELECT count(*) FROM samples"), 15);
}

TEST(HistoryWriterFailures, ADatabaseDeletedOrReplacedWhileOpenIsMadeAnew) {
    const struct {
        const char* name;
        bool replaced;  // another file renamed over it, rather than deleted
        const char* said;
    } cases[] = {{"deleted", false, "was deleted while open"},
                 {"replaced", true, "is no longer the file that was open"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        servicetest::ScratchDir dir;
        const LogCapture log;
        const std::string db = dir / "history.db";
        std::string error;
        auto writer = service::HistoryWriter::Open(db, 24h, error, 10ms);
        ASSERT_NE(writer, nullptr) << error;
        AddRows(*writer, 3);
        writer->Flush();

        if (c.replaced) {
            auto other = service::HistoryWriter::Open(dir / "other.db", 24h, error);
            ASSERT_NE(other, nullptr) << error;
            other.reset();
            std::filesystem::rename(dir / "other.db", db);
        } else {
            std::filesystem::remove(db);
        }
        AddRows(*writer, 4);
        writer->Flush();
        EXPECT_NE(log.Text().find(db + " " + c.said), std::string::npos) << log.Text();
        // The rows after it are in the file the path names, which readers find.
        EXPECT_EQ(servicetest::QueryNumber(db, "SELECT count(*) FROM samples"), 4);
        service::HistoryConfig config;
        config.database = db;
        const auto answer = service::AnswerHistory(config, {}, service::UtcNowMs() + 1);
        EXPECT_EQ(answer.status, 200) << answer.body;
        EXPECT_EQ(nlohmann::json::parse(answer.body)["rows"].size(), 4u);
    }
}

// Which readings are stored: each case a policy and a register's readings, and which of them
// become rows.
TEST(HistoryStorePolicy, ReadingsStoredByDeadbandHeartbeatAndChangeOfQuality) {
    struct Reading {
        std::int64_t s;  // seconds from the start
        std::optional<double> value;
        std::int16_t quality = 192;
        std::int32_t error = -1;
    };
    const struct {
        const char* name;
        service::StorePolicy policy;
        std::vector<Reading> readings;
        std::vector<int> stored;  // indexes into readings
    } cases[] = {
        {"no deadband, no heartbeat: every reading, unchanged ones too",
         {0, 0},
         {{0, 1.0}, {1, 1.0}, {2, 1.0}},
         {0, 1, 2}},
        {"deadband: only moves beyond it, against the last stored",
         {0.5, 0},
         {{0, 10.0}, {1, 10.3}, {2, 10.5}, {3, 10.51}, {4, 10.1}, {5, 11.2}},
         {0, 3, 5}},
        {"heartbeat alone: changes and every 10 s",
         {0, 10'000},
         {{0, 1.0}, {5, 1.0}, {9, 1.0}, {10, 1.0}, {11, 2.0}, {12, 2.0}, {21, 2.0}},
         {0, 3, 4, 6}},
        {"failure and recovery always stored, inside the deadband",
         {100, 0},
         {{0, 5.0}, {1, std::nullopt, 0, 3}, {2, std::nullopt, 0, 3}, {3, 5.0}, {4, 5.0}},
         {0, 1, 3}},
        {"another error or quality is a change",
         {100, 0},
         {{0, std::nullopt, 0, 3}, {1, std::nullopt, 0, 4}, {2, 5.0}, {3, 5.0, 64}, {4, 5.0, 64}},
         {0, 1, 2, 3}},
        {"a clock set back is stored", {100, 0}, {{10, 5.0}, {5, 5.0}}, {0, 1}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        service::ChangeFilter filter;
        std::vector<int> stored;
        for (std::size_t i = 0; i < c.readings.size(); ++i) {
            const Reading& r = c.readings[i];
            const service::HistoryRow row(r.s * 1000, "a", 1, "PV", r.value, r.quality, r.error);
            if (filter.Keep("key", c.policy, row)) stored.push_back(static_cast<int>(i));
        }
        EXPECT_EQ(stored, c.stored);
    }
}

// Readings of one register over three minutes, a failed one among them, stored with a deadband:
// the minute aggregates are those of every polled reading (not of the stored rows), and a span
// that starts between stored rows begins with the value held then.
TEST(HistoryStorePolicy, AggregatesAreOfEveryReadingAndASpanStartsWithTheValueHeld) {
    servicetest::ScratchDir dir;
    const std::string db = dir / "history.db";
    constexpr std::int64_t kStart = 1796745600000;  // a whole hour
    std::vector<std::optional<double>> polled;
    {
        std::string error;
        auto writer = service::HistoryWriter::Open(db, 24h * 3650, error);
        ASSERT_NE(writer, nullptr) << error;
        service::HistorySettings settings;
        settings.defaults.deadband = 1.0;
        settings.minuteRetention = settings.hourRetention = 24h * 3650;
        writer->SetSettings(settings);
        for (int i = 0; i < 180; ++i) {
            std::optional<double> v = 20.0 + (i % 13) * 0.125 + (i / 60) * 3;
            if (i == 75) v.reset();
            polled.push_back(v);
            writer->Add({kStart + i * 1000LL, "a", 1, "PV", v,
                         static_cast<std::int16_t>(v ? 192 : 0), v ? -1 : 3});
        }
        writer->Flush();
        const auto c = writer->Counters();
        EXPECT_EQ(c.rowsWritten, 180u);
        EXPECT_LT(c.rowsStored, 30u);
    }
    std::string error;
    auto reader = service::HistoryReader::Open(db, error);
    ASSERT_NE(reader, nullptr) << error;
    service::HistoryFilter filter;
    filter.line = "a";
    filter.stations = {1};
    filter.mnemonic = "PV";
    filter.sinceMs = kStart;
    filter.untilMs = kStart + 180'000;
    std::vector<service::HistoryBucket> minutes;
    ASSERT_TRUE(reader->ReadBuckets(
        service::BucketTable::kMinutes, filter,
        [&](const service::HistoryBucket& b) { minutes.push_back(b); }, error))
        << error;
    ASSERT_EQ(minutes.size(), 3u);
    for (int m = 0; m < 3; ++m) {
        SCOPED_TRACE(m);
        double low = 1e9, high = -1e9, sum = 0;
        std::uint64_t good = 0, failed = 0;
        for (int i = m * 60; i < m * 60 + 60; ++i) {
            if (!polled[i]) {
                ++failed;
                continue;
            }
            low = std::min(low, *polled[i]);
            high = std::max(high, *polled[i]);
            sum += *polled[i];
            ++good;
        }
        EXPECT_EQ(minutes[m].startMs, kStart + m * 60'000);
        EXPECT_EQ(minutes[m].min, low);
        EXPECT_EQ(minutes[m].max, high);
        EXPECT_DOUBLE_EQ(minutes[m].sum, sum);
        EXPECT_EQ(minutes[m].count, good);
        EXPECT_EQ(minutes[m].failed, failed);
    }

    // A step curve of the rows of any span is the polled values to within the deadband.
    for (const std::int64_t since : {kStart + 30'500, kStart + 76'000, kStart + 130'000}) {
        SCOPED_TRACE(since - kStart);
        filter.sinceMs = since;
        std::vector<service::HistoryRow> rows;
        ASSERT_TRUE(reader->Read(
            filter, [&](const service::HistoryRow& r) { rows.push_back(r); }, error))
            << error;
        ASSERT_FALSE(rows.empty());
        EXPECT_EQ(rows.front().utcMs, since);
        std::size_t at = 0;
        for (std::int64_t t = (since - kStart + 999) / 1000; t < 180; ++t) {
            while (at + 1 < rows.size() && rows[at + 1].utcMs <= kStart + t * 1000) ++at;
            const auto& shown = rows[at].value;
            ASSERT_EQ(shown.has_value(), polled[t].has_value()) << t;
            if (shown) {
                EXPECT_LE(std::fabs(*shown - *polled[t]), 1.0) << t;
            }
        }
    }
}

// Every value read back is the very double the reader answered when values were stored as REAL
// (the number the meter sent); what the meter sends is stored as an INTEGER of a few bytes, and
// anything else, or a reading that is not good, keeps its value and its state as they came.
TEST(HistoryStoreValues, ValuesReadBackExactlyAndMeterTextsAreStoredAsIntegers) {
    struct Case {
        const char* what;
        std::optional<double> value;
        bool integer;  // stored as an INTEGER
        std::int16_t quality = 192;
        std::int32_t error = -1;
    };
    const auto meter = [](const char* text) {
        return static_cast<double>(std::strtof(text, nullptr));
    };
    const Case cases[] = {
        {"-999.9", meter("-999.9"), true},
        {"0.0001", meter("0.0001"), true},
        {"123456", meter("123456"), true},
        {"-0.5", meter("-0.5"), true},
        {"99.95", meter("99.95"), true},
        {"45.123", meter("45.123"), true},
        {"-12.35", meter("-12.35"), true},
        {"0", meter("0"), true},
        {"-32768 (an INT)", -32768.0, true},
        {"a double already said as decimal", 21.37, true},
        {"one third", 1.0 / 3, false},
        {"minus zero", -0.0, false},
        {"a huge double", 1e300, false},
        {"the smallest double", 5e-324, false},
        {"uncertain quality with its value", meter("5.25"), false, 64},
        {"a failed read", std::nullopt, false, 0, 3},
        {"good quality with an error code", meter("7.5"), false, 192, 12},
    };
    servicetest::ScratchDir dir;
    const std::string db = dir / "history.db";
    constexpr std::int64_t kStart = 1796745600000;
    {
        std::string error;
        auto writer = service::HistoryWriter::Open(db, 24h * 3650, error);
        ASSERT_NE(writer, nullptr) << error;
        for (std::size_t i = 0; i < std::size(cases); ++i) {
            writer->Add({kStart + static_cast<std::int64_t>(i) * 1000, "a", 1, "PV", cases[i].value,
                         cases[i].quality, cases[i].error});
        }
        writer->Flush();
        ASSERT_EQ(writer->Counters().rowsStored, std::size(cases));
    }
    std::string error;
    auto reader = service::HistoryReader::Open(db, error);
    ASSERT_NE(reader, nullptr) << error;
    service::HistoryFilter filter;
    filter.sinceMs = kStart;
    filter.untilMs = kStart + 3600'000;
    std::vector<service::HistoryRow> rows;
    ASSERT_TRUE(reader->Read(
        filter, [&](const service::HistoryRow& r) { rows.push_back(r); }, error))
        << error;
    ASSERT_EQ(rows.size(), std::size(cases));
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.what);
        ASSERT_EQ(rows[i].value.has_value(), c.value.has_value());
        if (c.value) {
            EXPECT_EQ(std::bit_cast<std::uint64_t>(*rows[i].value),
                      std::bit_cast<std::uint64_t>(contract::MeterDecimal(*c.value)))
                << *rows[i].value;
        }
        EXPECT_EQ(rows[i].quality, c.quality);
        EXPECT_EQ(rows[i].errorCode, c.error);
        const std::string at = std::to_string(kStart + static_cast<std::int64_t>(i) * 1000);
        EXPECT_EQ(servicetest::QueryNumber(db,
                                           "SELECT typeof(value) = 'integer' FROM "
                                           "sample_values WHERE time_ms = " +
                                               at),
                  c.integer ? 1 : 0);
    }
}

// A file as the earlier release made and filled it: opened by this writer, its rows are moved into
// the tables by series, answered as before, with aggregates of them; and it is read as well
// before any writer moved it.
TEST(HistoryStoreMigration, AFileOfTheEarlierTableIsReadThenMovedWithItsRowsKept) {
    // The earlier release's schema, exactly as its writer created it.
    constexpr const char* kEarlierSchema =
        "CREATE TABLE IF NOT EXISTS readings(time_ms INTEGER NOT NULL, line TEXT NOT NULL, "
        "station INTEGER NOT NULL, register TEXT NOT NULL, value REAL, quality INTEGER NOT NULL, "
        "error_code INTEGER NOT NULL);"
        "CREATE INDEX IF NOT EXISTS readings_by_time ON readings(time_ms);";
    servicetest::ScratchDir dir;
    const std::string db = dir / "history.db";
    const std::int64_t t0 = service::UtcNowMs() - 3 * 3600'000;
    {
        sqlite3* handle = nullptr;
        ASSERT_EQ(sqlite3_open(db.c_str(), &handle), SQLITE_OK);
        std::string sql = std::string("PRAGMA journal_mode=WAL;") + kEarlierSchema;
        for (int i = 0; i < 200; ++i) {
            const std::string t = std::to_string(t0 + i * 60'000LL);
            sql += "INSERT INTO readings VALUES(" + t + ", 'a', 1, 'PV', " +
                   (i == 7 ? "NULL, 0, 3" : std::to_string(20 + i % 5) + ".5, 192, -1") + ");";
            sql +=
                "INSERT INTO readings VALUES(" + t + ", 'b', 2, 'OP', 99.94999694824219, 192, -1);";
        }
        ASSERT_EQ(sqlite3_exec(handle, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(handle);
    }
    service::HistoryConfig config;
    config.database = db;
    const service::HistoryFilter all;
    const auto answer = [&](const std::multimap<std::string, std::string>& params) {
        const auto a = service::AnswerHistory(config, params, t0 + 300 * 60'000LL);
        EXPECT_EQ(a.status, 200) << a.body;
        return a.body;
    };
    const std::multimap<std::string, std::string> rows = {{"since", std::to_string(t0)},
                                                          {"format", "csv"}};
    const std::multimap<std::string, std::string> points = {{"since", std::to_string(t0)},
                                                            {"line", "a"},
                                                            {"station", "1"},
                                                            {"register", "PV"},
                                                            {"points", "10"}};
    const std::string rowsBefore = answer(rows);
    const std::string pointsBefore = answer(points);
    EXPECT_EQ(servicetest::Count(rowsBefore, "\n"), 401);
    EXPECT_NE(rowsBefore.find(",a,1,PV,,0,3\n"), std::string::npos);
    EXPECT_NE(rowsBefore.find(",b,2,OP,99.95,192,-1\n"), std::string::npos);

    std::string error;
    auto writer = service::HistoryWriter::Open(db, 24h, error);
    ASSERT_NE(writer, nullptr) << error;
    writer->Flush();
    EXPECT_EQ(
        servicetest::QueryNumber(db, "SELECT count(*) FROM sqlite_master WHERE name = 'readings'"),
        0);
    EXPECT_EQ(servicetest::QueryNumber(db, "SELECT count(*) FROM samples"), 400);
    EXPECT_EQ(servicetest::QueryNumber(db, "SELECT sum(count) + sum(failed) FROM hours"), 400);
    EXPECT_EQ(answer(rows), rowsBefore);
    EXPECT_EQ(answer(points), pointsBefore);
    // New readings go on into the same series.
    writer->Add({t0 + 250 * 60'000LL, "a", 1, "PV", 7.0, 192, -1});
    writer->Flush();
    EXPECT_EQ(servicetest::QueryNumber(db, "SELECT count(*) FROM series"), 2);
}

}  // namespace
