// The history database's tables, as the writer makes them and the readers read them.
//
// One row of `series` for each register of each meter ever stored; its readings in `samples`,
// keyed by (series, time) so that one register's span is one range of the key. A reading's
// quality is NULL when good (192) and its error_code NULL when none (-1): SQLite stores a NULL in
// no bytes, and nearly every reading is good. `minutes` and `hours` hold, per series and bucket
// start, the minimum, maximum and sum of the polled good readings (NULL when none) and how many
// were good and how many failed: of every reading polled, not only of the stored ones.
//
// Files of earlier releases hold one table readings(time_ms, line, station, register, value,
// quality, error_code); the writer moves them into these tables when it opens such a file.
#pragma once

namespace service::history_schema {

inline constexpr const char* kTables =
    "CREATE TABLE IF NOT EXISTS series(id INTEGER PRIMARY KEY, line TEXT NOT NULL, "
    "station INTEGER NOT NULL, register TEXT NOT NULL, model TEXT NOT NULL DEFAULT '', "
    "UNIQUE(line, station, register));"
    "CREATE TABLE IF NOT EXISTS samples(series INTEGER NOT NULL, time_ms INTEGER NOT NULL, "
    "value REAL, quality INTEGER, error_code INTEGER, PRIMARY KEY(series, time_ms)) "
    "WITHOUT ROWID;"
    "CREATE TABLE IF NOT EXISTS minutes(series INTEGER NOT NULL, start_ms INTEGER NOT NULL, "
    "min REAL, max REAL, sum REAL NOT NULL, count INTEGER NOT NULL, failed INTEGER NOT NULL, "
    "PRIMARY KEY(series, start_ms)) WITHOUT ROWID;"
    "CREATE TABLE IF NOT EXISTS hours(series INTEGER NOT NULL, start_ms INTEGER NOT NULL, "
    "min REAL, max REAL, sum REAL NOT NULL, count INTEGER NOT NULL, failed INTEGER NOT NULL, "
    "PRIMARY KEY(series, start_ms)) WITHOUT ROWID;";

inline constexpr long long kMinuteMs = 60'000;
inline constexpr long long kHourMs = 3'600'000;

inline constexpr int kGoodQuality = 192;

}  // namespace service::history_schema
