#include "tools/ctl/history_command.h"

#include <sqlite3.h>

#include <charconv>
#include <cstdio>
#include <ctime>
#include <memory>
#include <vector>

#include "tools/ctl/command_support.h"

namespace ctl {
namespace {

struct CloseDatabase {
    void operator()(sqlite3* db) const { sqlite3_close(db); }
};
struct FinalizeStatement {
    void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using Database = std::unique_ptr<sqlite3, CloseDatabase>;
using Statement = std::unique_ptr<sqlite3_stmt, FinalizeStatement>;

// A time of the database (ms since 1970-01-01 UTC) as a file time, for the --time styles.
std::uint64_t FileTimeOfMs(std::int64_t ms) {
    constexpr std::int64_t kMsFrom1601To1970 = 11644473600000;
    return static_cast<std::uint64_t>(ms + kMsFrom1601To1970) * 10000;
}

// "2026-12-08T12:00:00Z", with or without milliseconds, the Z, or the T (a space); or a whole
// number of ms since 1970-01-01 UTC.
bool ParseTime(const std::string& text, std::int64_t& ms) {
    const char* end = text.data() + text.size();
    auto r = std::from_chars(text.data(), end, ms);
    if (r.ec == std::errc() && r.ptr == end) return true;
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

}  // namespace

CLI::App* AddHistoryCommand(CLI::App& app, HistoryOptions& o) {
    auto* history = app.add_subcommand("history", "print rows of qm4720d's history database");
    history->add_option("--db", o.database, "the database (qm4720d.toml: history.database)")
        ->required()
        ->type_name("FILE");
    history->add_option("--since", o.since, "from this UTC time on: 2026-12-08T12:00:00Z or ms")
        ->type_name("TIME");
    history->add_option("--until", o.until, "before this UTC time")->type_name("TIME");
    history->add_option("--station", o.stations, "stations, e.g. 1,3-5");
    history->add_option("--register", o.mnemonic, "one register, e.g. PV");
    history->add_option("--line", o.line, "one line by its configured name");
    history->footer(
        "Columns: time (as --time says), line, station, register, value (empty when the read\n"
        "failed), quality (192 good), error_code (the driver's code, -1 none); oldest first.\n"
        "Example: qm4720ctl history --db /var/lib/qm4720d/history.db --station 1 --register PV\n"
        "           --since 2026-12-08T00:00:00Z --format csv");
    return history;
}

int RunHistory(const HistoryOptions& o, const Options& options) {
    std::int64_t since = INT64_MIN, until = INT64_MAX;
    if (!o.since.empty() && !ParseTime(o.since, since)) {
        Diagnose("--since " + o.since + ": expected a UTC time like 2026-12-08T12:00:00Z or ms");
        return kExitUsage;
    }
    if (!o.until.empty() && !ParseTime(o.until, until)) {
        Diagnose("--until " + o.until + ": expected a UTC time like 2026-12-08T12:00:00Z or ms");
        return kExitUsage;
    }
    std::vector<int> stations;
    std::string error;
    if (!o.stations.empty() && !ParseStationList(o.stations, stations, error)) {
        Diagnose("--station: " + error);
        return kExitUsage;
    }

    sqlite3* opened = nullptr;
    // Read-only: this never takes a write lock and never creates the file.
    const int openStatus =
        sqlite3_open_v2(o.database.c_str(), &opened, SQLITE_OPEN_READONLY, nullptr);
    const Database db(opened);
    if (openStatus != SQLITE_OK) {
        Diagnose("--db " + o.database + ": " + (db ? sqlite3_errmsg(db.get()) : "out of memory"));
        return kExitFailure;
    }
    sqlite3_busy_timeout(db.get(), 2000);
    std::string sql =
        "SELECT time_ms, line, station, register, value, quality, error_code FROM readings "
        "WHERE time_ms >= ?1 AND time_ms < ?2";
    if (!o.mnemonic.empty()) sql += " AND register = ?3";
    if (!o.line.empty()) sql += " AND line = ?4";
    if (!stations.empty()) {
        sql += " AND station IN (";
        for (std::size_t i = 0; i < stations.size(); ++i) {
            sql += (i ? "," : "") + std::to_string(stations[i]);
        }
        sql += ")";
    }
    sql += " ORDER BY time_ms, rowid";
    sqlite3_stmt* prepared = nullptr;
    const int prepareStatus = sqlite3_prepare_v2(db.get(), sql.c_str(), -1, &prepared, nullptr);
    const Statement statement(prepared);
    if (prepareStatus != SQLITE_OK) {
        Diagnose("--db " + o.database + ": not a history database: " + sqlite3_errmsg(db.get()));
        return kExitFailure;
    }
    sqlite3_stmt* query = statement.get();
    int status = kExitOk;
    if (!RedirectOutput(options, status)) return status;
    sqlite3_bind_int64(query, 1, since);
    sqlite3_bind_int64(query, 2, until);
    sqlite3_bind_text(query, 3, o.mnemonic.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(query, 4, o.line.c_str(), -1, SQLITE_TRANSIENT);

    RecordWriter writer(options.format,
                        {"time", "line", "station", "register", "value", "quality", "error_code"});
    int step;
    while ((step = sqlite3_step(query)) == SQLITE_ROW) {
        auto text = [&](int column) {
            const auto* t = sqlite3_column_text(query, column);
            return std::string(t != nullptr ? reinterpret_cast<const char*>(t) : "");
        };
        writer.Row({TimeCell(FileTimeOfMs(sqlite3_column_int64(query, 0)), options.time),
                    Cell::Text(text(1)), Cell::Number(sqlite3_column_int(query, 2)),
                    Cell::Text(text(3)),
                    sqlite3_column_type(query, 4) == SQLITE_NULL
                        ? Cell::Null()
                        : Cell::Number(sqlite3_column_double(query, 4)),
                    Cell::Number(sqlite3_column_int(query, 5)),
                    Cell::Number(sqlite3_column_int(query, 6))});
    }
    writer.Finish();
    const bool ok = step == SQLITE_DONE;
    if (!ok) Diagnose("--db " + o.database + ": " + sqlite3_errmsg(db.get()));
    return ok ? kExitOk : kExitFailure;
}

}  // namespace ctl
