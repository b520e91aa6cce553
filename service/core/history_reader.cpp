#include "service/core/history_reader.h"

#include <charconv>
#include <cstdio>
#include <ctime>

#include "contract/meter_values.h"

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
    return reader;
}

HistoryReader::~HistoryReader() {
    sqlite3_close(db_);
}

bool HistoryReader::Read(const HistoryFilter& filter,
                         const std::function<void(const HistoryRow&)>& row, std::string& error,
                         std::size_t newest) {
    std::string sql =
        "SELECT time_ms, line, station, register, value, quality, error_code FROM readings "
        "WHERE time_ms >= ?1 AND time_ms < ?2";
    if (!filter.mnemonic.empty()) sql += " AND register = ?3";
    if (!filter.line.empty()) sql += " AND line = ?4";
    if (!filter.stations.empty()) {
        sql += " AND station IN (";
        for (std::size_t i = 0; i < filter.stations.size(); ++i) {
            if (i != 0) sql += ',';
            sql += std::to_string(filter.stations[i]);
        }
        sql += ")";
    }
    sql += newest != 0 ? " ORDER BY time_ms DESC, rowid DESC LIMIT ?5" : " ORDER BY time_ms, rowid";
    sqlite3_stmt* prepared = nullptr;
    const int prepareStatus = sqlite3_prepare_v2(db_, sql.c_str(), -1, &prepared, nullptr);
    const Statement statement(prepared);
    if (prepareStatus != SQLITE_OK) {
        error = path_ + ": not a history database: " + sqlite3_errmsg(db_);
        return false;
    }
    sqlite3_stmt* query = statement.get();
    sqlite3_bind_int64(query, 1, filter.sinceMs);
    sqlite3_bind_int64(query, 2, filter.untilMs);
    sqlite3_bind_text(query, 3, filter.mnemonic.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(query, 4, filter.line.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int64(query, 5, static_cast<sqlite3_int64>(newest));
    int step;
    HistoryRow r;
    while ((step = sqlite3_step(query)) == SQLITE_ROW) {
        r.utcMs = sqlite3_column_int64(query, 0);
        r.line = ColumnText(query, 1);
        r.station = static_cast<std::int16_t>(sqlite3_column_int(query, 2));
        r.mnemonic = ColumnText(query, 3);
        r.value.reset();
        // Files written before held a meter's float widened to double (99.94999694824219): said
        // as the meter sent it, as every output says it.
        if (sqlite3_column_type(query, 4) != SQLITE_NULL) {
            r.value = contract::MeterDecimal(sqlite3_column_double(query, 4));
        }
        r.quality = static_cast<std::int16_t>(sqlite3_column_int(query, 5));
        r.errorCode = sqlite3_column_int(query, 6);
        row(r);
    }
    if (step != SQLITE_DONE) {
        error = path_ + ": " + sqlite3_errmsg(db_);
        return false;
    }
    return true;
}

}  // namespace service
