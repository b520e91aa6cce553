#include "service/history/history_store.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <optional>

#include "contract/meter_values.h"
#include "service/core/history_schema.h"

namespace service {
namespace {

namespace schema = history_schema;

// Bounds of SQLite's own memory and files, so that a service that runs for months keeps both
// flat. The page cache holds what one batch touches (the last leaf of each series' rows and of
// its minute and hour rows, and the inner pages above them: about 1 MiB for 100 registers) with
// room to spare, 2 MiB; what a batch leaves in it is given back after each commit (see Write),
// since otherwise every page written stays cached until the bound and the service's memory grows
// with its file for as long as that takes (about 1 KiB a second at 50 rows a second). No memory
// map (the cache is what is bounded). The write-ahead log is checkpointed every 1000 pages and
// cut back to 16 MiB after each checkpoint.
constexpr const char* kPragmas =
    "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; PRAGMA cache_size=-2048; "
    "PRAGMA mmap_size=0; PRAGMA wal_autocheckpoint=1000; PRAGMA journal_size_limit=16777216;";

// A file of the earlier single table, moved into the tables by series. Its aggregates are of
// every reading it holds, which was every reading polled.
constexpr const char* kMoveEarlierFile =
    "INSERT OR IGNORE INTO series(line, station, register) "
    "SELECT DISTINCT line, station, register FROM readings;"
    "INSERT OR REPLACE INTO sample_values(series, time_ms, value) "
    "SELECT s.id, r.time_ms, CASE WHEN r.quality = 192 AND r.error_code = -1 "
    "THEN history_value(r.value) ELSE r.value END "
    "FROM readings r JOIN series s ON s.line = r.line AND s.station = r.station "
    "AND s.register = r.register ORDER BY r.rowid;"
    "INSERT OR REPLACE INTO sample_states(series, time_ms, quality, error_code) "
    "SELECT s.id, r.time_ms, NULLIF(r.quality, 192), NULLIF(r.error_code, -1) "
    "FROM readings r JOIN series s ON s.line = r.line AND s.station = r.station "
    "AND s.register = r.register WHERE r.quality <> 192 OR r.error_code <> -1 ORDER BY r.rowid;"
    "INSERT OR REPLACE INTO minutes SELECT s.id, r.time_ms / 60000 * 60000 AS start, "
    "min(r.value), max(r.value), total(r.value), count(r.value), count(*) - count(r.value) "
    "FROM readings r JOIN series s ON s.line = r.line AND s.station = r.station "
    "AND s.register = r.register GROUP BY s.id, start;"
    "INSERT OR REPLACE INTO hours SELECT s.id, r.time_ms / 3600000 * 3600000 AS start, "
    "min(r.value), max(r.value), total(r.value), count(r.value), count(*) - count(r.value) "
    "FROM readings r JOIN series s ON s.line = r.line AND s.station = r.station "
    "AND s.register = r.register GROUP BY s.id, start;"
    "DROP TABLE readings;";

// A bucket's readings of one batch added to what the table holds of it.
constexpr const char* kUpsertBucket =
    " (series, start_ms, min, max, sum, count, failed) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7) "
    "ON CONFLICT(series, start_ms) DO UPDATE SET "
    "min = CASE WHEN min IS NULL THEN excluded.min WHEN excluded.min IS NULL THEN min "
    "ELSE min(min, excluded.min) END, "
    "max = CASE WHEN max IS NULL THEN excluded.max WHEN excluded.max IS NULL THEN max "
    "ELSE max(max, excluded.max) END, "
    "sum = sum + excluded.sum, count = count + excluded.count, failed = failed + excluded.failed";

struct Bucket {
    std::optional<double> min;
    std::optional<double> max;
    double sum = 0;
    std::int64_t count = 0;
    std::int64_t failed = 0;

    void Add(const std::optional<double>& value) {
        if (!value) {
            ++failed;
            return;
        }
        min = min ? std::min(*min, *value) : *value;
        max = max ? std::max(*max, *value) : *value;
        sum += *value;
        ++count;
    }
};

std::int64_t FloorTo(std::int64_t ms, std::int64_t width) {
    const std::int64_t q = ms / width;
    return (ms % width != 0 && ms < 0 ? q - 1 : q) * width;
}

// A good reading's value as it is stored: the number the meter sent, in the fewest bytes. True
// when it went in as an INTEGER.
bool BindGoodValue(sqlite3_stmt* statement, int at, double value) {
    const auto stored = history_schema::EncodeValue(contract::MeterDecimal(value));
    if (const auto* mantissa = std::get_if<std::int64_t>(&stored)) {
        sqlite3_bind_int64(statement, at, *mantissa);
        return true;
    }
    sqlite3_bind_double(statement, at, std::get<double>(stored));
    return false;
}

// history_value(x) in SQL: BindGoodValue's column value, for the rows moved from an earlier file.
void GoodValueFunction(sqlite3_context* context, int, sqlite3_value** arguments) {
    if (sqlite3_value_type(arguments[0]) == SQLITE_NULL) {
        sqlite3_result_null(context);
        return;
    }
    const auto stored =
        history_schema::EncodeValue(contract::MeterDecimal(sqlite3_value_double(arguments[0])));
    if (const auto* mantissa = std::get_if<std::int64_t>(&stored)) {
        sqlite3_result_int64(context, *mantissa);
    } else {
        sqlite3_result_double(context, std::get<double>(stored));
    }
}

void BindOptional(sqlite3_stmt* statement, int at, const std::optional<double>& value) {
    if (value) {
        sqlite3_bind_double(statement, at, *value);
    } else {
        sqlite3_bind_null(statement, at);
    }
}

}  // namespace

std::unique_ptr<HistoryStore> HistoryStore::Open(const std::string& path, std::string& error) {
    std::unique_ptr<HistoryStore> store(new HistoryStore);
    if (sqlite3_open_v2(path.c_str(), &store->db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                        nullptr) != SQLITE_OK) {
        error = store->db_ != nullptr ? sqlite3_errmsg(store->db_) : "out of memory";
        return nullptr;
    }
    sqlite3_busy_timeout(store->db_, 2000);
    error = store->Setup();
    if (!error.empty()) return nullptr;
    return store;
}

std::string HistoryStore::Setup() {
    std::string error;
    // Takes effect in a new file only (before its first table): there, pruning gives its pages
    // back with incremental_vacuum. A file moved from the earlier table keeps its pages and
    // reuses those that pruning frees, so it stops growing without ever being vacuumed.
    if (!Exec("PRAGMA auto_vacuum=INCREMENTAL;", error) || !Exec(kPragmas, error)) return error;
    earlierTable_ = QueryNumber(
                        "SELECT count(*) FROM sqlite_master WHERE type = 'table' AND "
                        "name = 'readings'") > 0;
    // The storage of an unreleased build kept every reading in a table of this name.
    if (QueryNumber("SELECT count(*) FROM sqlite_master WHERE type = 'table' AND "
                    "name = 'samples'") > 0) {
        return "the file holds history in a layout this release does not read";
    }
    if (!Exec(schema::kTables, error)) return error;
    if (sqlite3_create_function(db_, "history_value", 1, SQLITE_UTF8 | SQLITE_DETERMINISTIC,
                                nullptr, GoodValueFunction, nullptr, nullptr) != SQLITE_OK) {
        return sqlite3_errmsg(db_);
    }
    const auto prepare = [&](const std::string& sql, sqlite3_stmt*& statement) {
        if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK) {
            return true;
        }
        error = sqlite3_errmsg(db_);
        return false;
    };
    if (!prepare("INSERT OR REPLACE INTO sample_values(series, time_ms, value) "
                 "VALUES(?1, ?2, ?3)",
                 insertValue_) ||
        !prepare("INSERT OR REPLACE INTO sample_states(series, time_ms, quality, error_code) "
                 "VALUES(?1, ?2, ?3, ?4)",
                 insertState_) ||
        !prepare("DELETE FROM sample_states WHERE series = ?1 AND time_ms = ?2", deleteState_) ||
        !prepare("INSERT INTO series(line, station, register, model) VALUES(?1, ?2, ?3, ?4)",
                 insertSeries_) ||
        !prepare(std::string("INSERT INTO minutes") + kUpsertBucket, upsertMinute_) ||
        !prepare(std::string("INSERT INTO hours") + kUpsertBucket, upsertHour_)) {
        return error;
    }
    return LoadSeries();
}

std::string HistoryStore::LoadSeries() {
    series_.clear();
    sqlite3_stmt* all = nullptr;
    if (sqlite3_prepare_v2(db_, "SELECT id, line, station, register FROM series", -1, &all,
                           nullptr) != SQLITE_OK) {
        return sqlite3_errmsg(db_);
    }
    while (sqlite3_step(all) == SQLITE_ROW) {
        const auto text = [&](int column) {
            const auto* t = sqlite3_column_text(all, column);
            return std::string(t != nullptr ? reinterpret_cast<const char*>(t) : "");
        };
        series_[SeriesKey(text(1), sqlite3_column_int(all, 2), text(3))] =
            sqlite3_column_int64(all, 0);
    }
    sqlite3_finalize(all);
    return {};
}

std::string HistoryStore::MoveEarlierRows() {
    std::string error;
    if (!Exec("BEGIN IMMEDIATE", error)) return error;
    if (Exec(kMoveEarlierFile, error) && Exec("COMMIT", error)) {
        earlierTable_ = false;
        return LoadSeries();
    }
    if (sqlite3_get_autocommit(db_) == 0) {
        std::string ignored;
        Exec("ROLLBACK", ignored);
    }
    return "moving the rows of an earlier release into the tables by series: " + error;
}

HistoryStore::~HistoryStore() {
    for (sqlite3_stmt* s :
         {insertValue_, insertState_, deleteState_, insertSeries_, upsertMinute_, upsertHour_}) {
        sqlite3_finalize(s);
    }
    sqlite3_close(db_);
}

bool HistoryStore::Exec(const char* sql, std::string& error) {
    char* message = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) == SQLITE_OK) return true;
    error = message != nullptr ? message : sqlite3_errmsg(db_);
    sqlite3_free(message);
    return false;
}

std::int64_t HistoryStore::QueryNumber(const std::string& sql) {
    sqlite3_stmt* statement = nullptr;
    std::int64_t n = 0;
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK &&
        sqlite3_step(statement) == SQLITE_ROW) {
        n = sqlite3_column_int64(statement, 0);
    }
    sqlite3_finalize(statement);
    return n;
}

std::uint64_t HistoryStore::UsedBytes() {
    const std::int64_t pages =
        QueryNumber("PRAGMA page_count") - QueryNumber("PRAGMA freelist_count");
    return static_cast<std::uint64_t>(std::max<std::int64_t>(0, pages) *
                                      QueryNumber("PRAGMA page_size"));
}

std::int64_t HistoryStore::SeriesId(const HistoryRow& row, const std::string& key,
                                    std::string& error) {
    const auto it = series_.find(key);
    if (it != series_.end()) return it->second;
    sqlite3_reset(insertSeries_);
    sqlite3_bind_text(insertSeries_, 1, row.line.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int(insertSeries_, 2, row.station);
    sqlite3_bind_text(insertSeries_, 3, row.mnemonic.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(insertSeries_, 4, row.model.c_str(), -1, SQLITE_TRANSIENT);
    if (sqlite3_step(insertSeries_) != SQLITE_DONE) {
        error = sqlite3_errmsg(db_);
        return 0;
    }
    // Remembered only once committed: a batch rolled back takes its new series with it.
    return sqlite3_last_insert_rowid(db_);
}

std::string HistoryStore::Write(const std::vector<HistoryRow>& batch,
                                const HistorySettings& settings, ChangeFilter& filter,
                                std::uint64_t& stored) {
    stored = 0;
    std::string error;
    if (!Exec("BEGIN", error)) return error;
    std::map<std::string, std::int64_t> made;
    std::map<std::pair<std::int64_t, std::int64_t>, Bucket> minutes, hours;
    for (const HistoryRow& row : batch) {
        const std::string key = SeriesKey(row.line, row.station, row.mnemonic);
        const auto known = made.find(key);
        const std::int64_t id = known != made.end() ? known->second : SeriesId(row, key, error);
        if (id == 0) break;
        if (!series_.contains(key)) made[key] = id;
        minutes[{id, FloorTo(row.utcMs, schema::kMinuteMs)}].Add(row.value);
        hours[{id, FloorTo(row.utcMs, schema::kHourMs)}].Add(row.value);
        if (!filter.Keep(key, settings.PolicyOf(key), row)) continue;
        const bool good = row.quality == schema::kGoodQuality && row.errorCode == -1;
        sqlite3_reset(insertValue_);
        sqlite3_bind_int64(insertValue_, 1, id);
        sqlite3_bind_int64(insertValue_, 2, row.utcMs);
        bool asInteger = false;
        if (good && row.value) {
            asInteger = BindGoodValue(insertValue_, 3, *row.value);
        } else {
            BindOptional(insertValue_, 3, row.value);
        }
        if (sqlite3_step(insertValue_) != SQLITE_DONE) {
            error = sqlite3_errmsg(db_);
            break;
        }
        // A state is looked up only under a value that is not an INTEGER; one left from a row of
        // the same time replaced must not be found under a good REAL.
        const bool stateRead = !asInteger;
        sqlite3_stmt* state = good ? deleteState_ : insertState_;
        sqlite3_reset(state);
        sqlite3_bind_int64(state, 1, id);
        sqlite3_bind_int64(state, 2, row.utcMs);
        if (!good) {
            if (row.quality == schema::kGoodQuality) {
                sqlite3_bind_null(state, 3);
            } else {
                sqlite3_bind_int(state, 3, row.quality);
            }
            if (row.errorCode == -1) {
                sqlite3_bind_null(state, 4);
            } else {
                sqlite3_bind_int(state, 4, row.errorCode);
            }
        }
        if (stateRead && sqlite3_step(state) != SQLITE_DONE) {
            error = sqlite3_errmsg(db_);
            break;
        }
        ++stored;
    }
    for (auto [table, statement] : {std::pair{&minutes, upsertMinute_}, {&hours, upsertHour_}}) {
        for (const auto& [at, b] : *table) {
            if (!error.empty()) break;
            sqlite3_reset(statement);
            sqlite3_bind_int64(statement, 1, at.first);
            sqlite3_bind_int64(statement, 2, at.second);
            BindOptional(statement, 3, b.min);
            BindOptional(statement, 4, b.max);
            sqlite3_bind_double(statement, 5, b.sum);
            sqlite3_bind_int64(statement, 6, b.count);
            sqlite3_bind_int64(statement, 7, b.failed);
            if (sqlite3_step(statement) != SQLITE_DONE) error = sqlite3_errmsg(db_);
        }
    }
    for (sqlite3_stmt* s :
         {insertValue_, insertState_, deleteState_, insertSeries_, upsertMinute_, upsertHour_}) {
        sqlite3_reset(s);
    }
    if (error.empty() && Exec("COMMIT", error)) {
        series_.merge(made);
        // The next batch reads its few pages back from the file, which the system caches.
        sqlite3_db_release_memory(db_);
        return {};
    }
    // SQLite may have rolled back already (a full disk does): then there is nothing to undo, and
    // what ROLLBACK would say must not hide the reason.
    if (sqlite3_get_autocommit(db_) == 0) {
        std::string ignored;
        Exec("ROLLBACK", ignored);
    }
    // The rows judged against those kept are gone: the next of each series is kept.
    filter.Clear();
    stored = 0;
    return error;
}

std::string HistoryStore::DeleteBefore(const char* table, const char* column,
                                       std::int64_t beforeMs) {
    const std::string sql =
        std::string("DELETE FROM ") + table + " WHERE series = ?1 AND " + column + " < ?2";
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
        return sqlite3_errmsg(db_);
    }
    std::string error;
    // One range of the key for each series, rather than a scan of the whole table.
    for (const auto& [key, id] : series_) {
        sqlite3_reset(statement);
        sqlite3_bind_int64(statement, 1, id);
        sqlite3_bind_int64(statement, 2, beforeMs);
        if (sqlite3_step(statement) != SQLITE_DONE) {
            error = sqlite3_errmsg(db_);
            break;
        }
    }
    sqlite3_finalize(statement);
    return error;
}

std::string HistoryStore::Prune(std::int64_t nowMs, std::chrono::milliseconds retention,
                                const HistorySettings& settings) {
    std::string error;
    if (!Exec("BEGIN", error)) return error;
    error = DeleteBefore("sample_values", "time_ms", nowMs - retention.count());
    if (error.empty()) error = DeleteBefore("sample_states", "time_ms", nowMs - retention.count());
    if (error.empty())
        error = DeleteBefore("minutes", "start_ms", nowMs - settings.minuteRetention.count());
    if (error.empty())
        error = DeleteBefore("hours", "start_ms", nowMs - settings.hourRetention.count());
    // Over the size: the oldest rows, a part of their span at a time, as much as is over and a
    // tenth of the bound more, so that not every batch prunes again.
    for (int round = 0; error.empty() && settings.maxBytes != 0 && round < 16; ++round) {
        const std::uint64_t used = UsedBytes();
        if (used <= settings.maxBytes) break;
        constexpr const char* kEnds =
            "SELECT %s(t) FROM (SELECT (SELECT %s(time_ms) FROM sample_values WHERE series = s.id) "
            "AS t FROM series s)";
        char sql[256];
        std::snprintf(sql, sizeof sql, kEnds, "min", "min");
        const std::int64_t oldest = QueryNumber(sql);
        std::snprintf(sql, sizeof sql, kEnds, "max", "max");
        const std::int64_t newest = QueryNumber(sql);
        if (QueryNumber("SELECT EXISTS(SELECT 1 FROM sample_values)") == 0) break;
        const double over =
            static_cast<double>(used - settings.maxBytes * 9 / 10) / static_cast<double>(used);
        const auto step = static_cast<std::int64_t>(
            std::ceil(static_cast<double>(newest - oldest + 1) * std::clamp(over, 1.0 / 64, 1.0)));
        const std::int64_t before = oldest + std::max<std::int64_t>(step, 1);
        error = DeleteBefore("sample_values", "time_ms", before);
        if (error.empty()) error = DeleteBefore("sample_states", "time_ms", before);
    }
    if (error.empty() && Exec("COMMIT", error)) {
        // Gives the freed pages back in a file made with auto_vacuum; a no-op in one without.
        Exec("PRAGMA incremental_vacuum", error);
        return error;
    }
    if (sqlite3_get_autocommit(db_) == 0) {
        std::string ignored;
        Exec("ROLLBACK", ignored);
    }
    return error;
}

}  // namespace service
