#include "service/core/history_reader.h"

#include <algorithm>
#include <map>

#include "contract/meter_values.h"
#include "service/core/history_schema.h"

namespace service {
namespace {

struct FinalizeStatement {
    void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using Statement = std::unique_ptr<sqlite3_stmt, FinalizeStatement>;

std::string ColumnText(sqlite3_stmt* query, int column) {
    const auto* t = sqlite3_column_text(query, column);
    return t != nullptr ? reinterpret_cast<const char*>(t) : "";
}

std::optional<double> ColumnValue(sqlite3_stmt* query, int column) {
    if (sqlite3_column_type(query, column) == SQLITE_NULL) return std::nullopt;
    // Files written before held a meter's float widened to double (99.94999694824219): said as
    // the meter sent it, as every output says it.
    return contract::MeterDecimal(sqlite3_column_double(query, column));
}

// The tables of this release as temporary views over the one table of a file of an earlier
// release, which a read-only connection may not change.
constexpr const char* kViewsOfEarlierFile =
    "CREATE TEMP TABLE series AS SELECT row_number() OVER (ORDER BY line, station, register) "
    "AS id, line, station, register, '' AS model "
    "FROM (SELECT DISTINCT line, station, register FROM main.readings);"
    "CREATE TEMP VIEW samples AS SELECT s.id AS series, r.time_ms AS time_ms, r.value AS value, "
    "r.quality AS quality, r.error_code AS error_code FROM main.readings r JOIN temp.series s "
    "ON s.line = r.line AND s.station = r.station AND s.register = r.register;"
    "CREATE TEMP VIEW minutes AS SELECT series, time_ms / 60000 * 60000 AS start_ms, "
    "min(value) AS min, max(value) AS max, total(value) AS sum, count(value) AS count, "
    "count(*) - count(value) AS failed FROM samples GROUP BY series, start_ms;"
    "CREATE TEMP VIEW hours AS SELECT series, time_ms / 3600000 * 3600000 AS start_ms, "
    "min(value) AS min, max(value) AS max, total(value) AS sum, count(value) AS count, "
    "count(*) - count(value) AS failed FROM samples GROUP BY series, start_ms;";

bool HasTable(sqlite3* db, const char* name) {
    sqlite3_stmt* prepared = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT 1 FROM main.sqlite_master WHERE type = 'table' AND name = ?",
                           -1, &prepared, nullptr) != SQLITE_OK) {
        return false;
    }
    const Statement statement(prepared);
    sqlite3_bind_text(prepared, 1, name, -1, SQLITE_STATIC);
    return sqlite3_step(prepared) == SQLITE_ROW;
}

std::string IdList(const std::vector<std::int64_t>& ids) {
    std::string list;
    for (const std::int64_t id : ids) {
        if (!list.empty()) list += ',';
        list += std::to_string(id);
    }
    return list;
}

const char* TableName(BucketTable table) {
    return table == BucketTable::kMinutes ? "minutes" : "hours";
}

struct Series {
    std::string line;
    std::int16_t station = 0;
    std::string mnemonic;
};

}  // namespace

std::unique_ptr<HistoryReader> HistoryReader::Open(const std::string& path, std::string& error) {
    std::unique_ptr<HistoryReader> reader(new HistoryReader);
    reader->path_ = path;
    const int status = sqlite3_open_v2(path.c_str(), &reader->db_, SQLITE_OPEN_READONLY, nullptr);
    if (status != SQLITE_OK) {
        error =
            path + ": " + (reader->db_ != nullptr ? sqlite3_errmsg(reader->db_) : "out of memory");
        return nullptr;
    }
    // The writer holds its lock for one batch at a time.
    sqlite3_busy_timeout(reader->db_, 2000);
    // The earlier table is there until the writer has moved it, in one transaction.
    if (HasTable(reader->db_, "readings")) {
        // Should it fail, the queries below say the file is not one this reader knows.
        sqlite3_exec(reader->db_, kViewsOfEarlierFile, nullptr, nullptr, nullptr);
    }
    return reader;
}

HistoryReader::~HistoryReader() {
    sqlite3_close(db_);
}

bool HistoryReader::Prepare(const std::string& sql, sqlite3_stmt*& statement, std::string& error) {
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK) return true;
    error = path_ + ": not a history database: " + sqlite3_errmsg(db_);
    return false;
}

bool HistoryReader::SeriesOf(const HistoryFilter& filter, std::vector<std::int64_t>& ids,
                             std::string& error) {
    std::string sql = "SELECT id FROM series WHERE 1";
    if (!filter.mnemonic.empty()) sql += " AND register = ?1";
    if (!filter.line.empty()) sql += " AND line = ?2";
    if (!filter.stations.empty()) {
        sql += " AND station IN (";
        for (std::size_t i = 0; i < filter.stations.size(); ++i) {
            if (i != 0) sql += ',';
            sql += std::to_string(filter.stations[i]);
        }
        sql += ")";
    }
    sql += " ORDER BY id";
    sqlite3_stmt* prepared = nullptr;
    if (!Prepare(sql, prepared, error)) return false;
    const Statement statement(prepared);
    sqlite3_bind_text(prepared, 1, filter.mnemonic.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(prepared, 2, filter.line.c_str(), -1, SQLITE_TRANSIENT);
    ids.clear();
    int step;
    while ((step = sqlite3_step(prepared)) == SQLITE_ROW) {
        ids.push_back(sqlite3_column_int64(prepared, 0));
    }
    if (step != SQLITE_DONE) {
        error = path_ + ": " + sqlite3_errmsg(db_);
        return false;
    }
    return true;
}

bool HistoryReader::Read(const HistoryFilter& filter,
                         const std::function<void(const HistoryRow&)>& row, std::string& error,
                         std::size_t newest) {
    std::vector<std::int64_t> ids;
    if (!SeriesOf(filter, ids, error)) return false;
    if (ids.empty()) return true;
    const std::string in = " IN (" + IdList(ids) + ")";

    std::map<std::int64_t, Series> names;
    sqlite3_stmt* prepared = nullptr;
    if (!Prepare("SELECT id, line, station, register FROM series WHERE id" + in, prepared, error)) {
        return false;
    }
    Statement statement(prepared);
    while (sqlite3_step(prepared) == SQLITE_ROW) {
        names[sqlite3_column_int64(prepared, 0)] = Series{
            ColumnText(prepared, 1), static_cast<std::int16_t>(sqlite3_column_int(prepared, 2)),
            ColumnText(prepared, 3)};
    }

    HistoryRow r;
    const auto take = [&](sqlite3_stmt* query, std::int64_t at) {
        const Series& s = names[sqlite3_column_int64(query, 0)];
        r.utcMs = at;
        r.line = s.line;
        r.station = s.station;
        r.mnemonic = s.mnemonic;
        r.value = ColumnValue(query, 2);
        r.quality = static_cast<std::int16_t>(sqlite3_column_type(query, 3) == SQLITE_NULL
                                                  ? history_schema::kGoodQuality
                                                  : sqlite3_column_int(query, 3));
        r.errorCode =
            sqlite3_column_type(query, 4) == SQLITE_NULL ? -1 : sqlite3_column_int(query, 4);
    };

    // The value each register holds at sinceMs: its last row at or before it, unless that is a
    // row of the span itself.
    std::vector<HistoryRow> held;
    if (filter.held && filter.sinceMs != std::numeric_limits<std::int64_t>::min()) {
        if (!Prepare("SELECT series, time_ms, value, quality, error_code FROM samples "
                     "WHERE series = ?1 AND time_ms <= ?2 ORDER BY time_ms DESC LIMIT 1",
                     prepared, error)) {
            return false;
        }
        statement.reset(prepared);
        for (const std::int64_t id : ids) {
            sqlite3_reset(prepared);
            sqlite3_bind_int64(prepared, 1, id);
            sqlite3_bind_int64(prepared, 2, filter.sinceMs);
            if (sqlite3_step(prepared) == SQLITE_ROW &&
                sqlite3_column_int64(prepared, 1) < filter.sinceMs) {
                take(prepared, filter.sinceMs);
                held.push_back(r);
            }
        }
        if (newest == 0) {
            for (const HistoryRow& h : held) row(h);
        }
    }

    std::string sql =
        "SELECT series, time_ms, value, quality, error_code FROM samples WHERE series" + in +
        " AND time_ms >= ?1 AND time_ms < ?2";
    sql +=
        newest != 0 ? " ORDER BY time_ms DESC, series DESC LIMIT ?3" : " ORDER BY time_ms, series";
    if (!Prepare(sql, prepared, error)) return false;
    statement.reset(prepared);
    sqlite3_bind_int64(prepared, 1, filter.sinceMs);
    sqlite3_bind_int64(prepared, 2, filter.untilMs);
    sqlite3_bind_int64(prepared, 3, static_cast<sqlite3_int64>(newest));
    int step;
    std::size_t handed = 0;
    while ((step = sqlite3_step(prepared)) == SQLITE_ROW) {
        take(prepared, sqlite3_column_int64(prepared, 1));
        row(r);
        ++handed;
    }
    if (step != SQLITE_DONE) {
        error = path_ + ": " + sqlite3_errmsg(db_);
        return false;
    }
    if (newest != 0) {
        for (auto h = held.rbegin(); h != held.rend() && handed < newest; ++h, ++handed) row(*h);
    }
    return true;
}

bool HistoryReader::Count(const HistoryFilter& filter, std::uint64_t& count, std::string& error,
                          std::uint64_t atMost) {
    std::vector<std::int64_t> ids;
    count = 0;
    if (!SeriesOf(filter, ids, error)) return false;
    if (ids.empty()) return true;
    sqlite3_stmt* prepared = nullptr;
    if (!Prepare("SELECT count(*) FROM (SELECT 1 FROM samples WHERE series IN (" + IdList(ids) +
                     ") AND time_ms >= ?1 AND time_ms < ?2 LIMIT ?3)",
                 prepared, error)) {
        return false;
    }
    const Statement statement(prepared);
    sqlite3_bind_int64(prepared, 1, filter.sinceMs);
    sqlite3_bind_int64(prepared, 2, filter.untilMs);
    sqlite3_bind_int64(prepared, 3, atMost != 0 ? static_cast<sqlite3_int64>(atMost) : -1);
    if (sqlite3_step(prepared) != SQLITE_ROW) {
        error = path_ + ": " + sqlite3_errmsg(db_);
        return false;
    }
    count = static_cast<std::uint64_t>(sqlite3_column_int64(prepared, 0));
    return true;
}

bool HistoryReader::ReadBuckets(BucketTable table, const HistoryFilter& filter,
                                const std::function<void(const HistoryBucket&)>& bucket,
                                std::string& error) {
    std::vector<std::int64_t> ids;
    if (!SeriesOf(filter, ids, error)) return false;
    if (ids.empty()) return true;
    sqlite3_stmt* prepared = nullptr;
    if (!Prepare(std::string("SELECT start_ms, min, max, sum, count, failed FROM ") +
                     TableName(table) + " WHERE series IN (" + IdList(ids) +
                     ") AND start_ms >= ?1 AND start_ms < ?2 ORDER BY start_ms",
                 prepared, error)) {
        return false;
    }
    const Statement statement(prepared);
    sqlite3_bind_int64(prepared, 1, filter.sinceMs);
    sqlite3_bind_int64(prepared, 2, filter.untilMs);
    int step;
    HistoryBucket b;
    while ((step = sqlite3_step(prepared)) == SQLITE_ROW) {
        b.startMs = sqlite3_column_int64(prepared, 0);
        b.min = ColumnValue(prepared, 1);
        b.max = ColumnValue(prepared, 2);
        b.sum = sqlite3_column_double(prepared, 3);
        b.count = static_cast<std::uint64_t>(sqlite3_column_int64(prepared, 4));
        b.failed = static_cast<std::uint64_t>(sqlite3_column_int64(prepared, 5));
        bucket(b);
    }
    if (step != SQLITE_DONE) {
        error = path_ + ": " + sqlite3_errmsg(db_);
        return false;
    }
    return true;
}

bool HistoryReader::OldestBucket(BucketTable table, const HistoryFilter& filter,
                                 std::optional<std::int64_t>& startMs, std::string& error) {
    std::vector<std::int64_t> ids;
    startMs.reset();
    if (!SeriesOf(filter, ids, error)) return false;
    if (ids.empty()) return true;
    sqlite3_stmt* prepared = nullptr;
    if (!Prepare(std::string("SELECT min(start_ms) FROM ") + TableName(table) +
                     " WHERE series IN (" + IdList(ids) + ")",
                 prepared, error)) {
        return false;
    }
    const Statement statement(prepared);
    if (sqlite3_step(prepared) != SQLITE_ROW) {
        error = path_ + ": " + sqlite3_errmsg(db_);
        return false;
    }
    if (sqlite3_column_type(prepared, 0) != SQLITE_NULL)
        startMs = sqlite3_column_int64(prepared, 0);
    return true;
}

}  // namespace service
