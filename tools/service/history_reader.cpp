#include "tools/service/history_reader.h"

#include <charconv>
#include <cstdio>
#include <ctime>

#include "host/value_field.h"

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

bool ParseUtcTime(std::string_view view, std::int64_t& ms) {
    const char* end = view.data() + view.size();
    auto r = std::from_chars(view.data(), end, ms);
    if (r.ec == std::errc() && r.ptr == end && !view.empty()) return true;
    const std::string text(view);
    int y, mo, d, h = 0, mi = 0, s = 0, frac = 0, used = 0;
    char sep = 'T';
    const int n = std::sscanf(text.c_str(), "%4d-%2d-%2d%n%c%2d:%2d:%2d%n", &y, &mo, &d, &used,
                              &sep, &h, &mi, &s, &used);
    if (n != 3 && n != 7) return false;
    if (n == 7 && sep != 'T' && sep != ' ') return false;
    std::size_t at = static_cast<std::size_t>(used);
    if (n == 7 && at < text.size() && text[at] == '.') {
        int digits = 0;
        for (++at; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at, ++digits) {
            if (digits < 3) frac = frac * 10 + (text[at] - '0');
        }
        if (digits == 0) return false;
        for (; digits < 3; ++digits) frac *= 10;
    }
    if (at < text.size() && text[at] == 'Z') ++at;
    if (at != text.size() || mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 60) {
        return false;
    }
    std::tm tm{};
    tm.tm_year = y - 1900;
    tm.tm_mon = mo - 1;
    tm.tm_mday = d;
    tm.tm_hour = h;
    tm.tm_min = mi;
    tm.tm_sec = s;
    ms = static_cast<std::int64_t>(timegm(&tm)) * 1000 + frac;
    return true;
}

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
            r.value = host::MeterDecimal(sqlite3_column_double(query, 4));
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
