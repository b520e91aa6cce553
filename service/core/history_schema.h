// The history database's tables, as the writer makes them and the readers read them.
//
// One row of `series` for each register of each meter ever stored; its readings in
// `sample_values`, keyed by (series, time) so that one register's span is one range of the key.
// A reading is a few bytes: a good reading's value is the INTEGER mantissa * 16 + count of
// decimals of the number the meter sent (SQLite stores 45.123 as 722,003 in 3 bytes, where a REAL
// always takes 8), a REAL only when it is no such number, NULL when the read failed; the column
// has no declared type so that SQLite keeps each as it is bound. A reading that is not good
// (quality other than 192 or an error code) has a row of `sample_states` too, and its value is
// never such an INTEGER: a reader looks up a state only for a NULL or REAL value, which in a
// plant that works is almost never, and a good reading costs no column for its state (even a
// NULL column costs a byte of the row's header). `samples` shows both as one row with the value
// decoded (quality NULL when good, error_code NULL when none), as every reader reads them.
// `minutes` and `hours` hold, per series and bucket start, the minimum, maximum and sum of the
// polled good readings (NULL when none) and how many were good and how many failed: of every
// reading polled, not only of the stored ones.
//
// Files of earlier releases hold one table readings(time_ms, line, station, register, value,
// quality, error_code); the writer moves them into these tables when it opens such a file.
#pragma once

#include <cstdint>
#include <optional>
#include <variant>

namespace service::history_schema {

inline constexpr const char* kTables =
    "CREATE TABLE IF NOT EXISTS series(id INTEGER PRIMARY KEY, line TEXT NOT NULL, "
    "station INTEGER NOT NULL, register TEXT NOT NULL, model TEXT NOT NULL DEFAULT '', "
    "UNIQUE(line, station, register));"
    "CREATE TABLE IF NOT EXISTS sample_values(series INTEGER NOT NULL, "
    "time_ms INTEGER NOT NULL, value, PRIMARY KEY(series, time_ms)) WITHOUT ROWID;"
    "CREATE TABLE IF NOT EXISTS sample_states(series INTEGER NOT NULL, "
    "time_ms INTEGER NOT NULL, quality INTEGER, error_code INTEGER, "
    "PRIMARY KEY(series, time_ms)) WITHOUT ROWID;"
    "CREATE VIEW IF NOT EXISTS samples AS SELECT v.series AS series, v.time_ms AS time_ms, "
    "CASE typeof(v.value) WHEN 'integer' THEN (v.value >> 4) / CASE v.value & 15 "
    "WHEN 0 THEN 1.0 WHEN 1 THEN 10.0 WHEN 2 THEN 100.0 WHEN 3 THEN 1000.0 WHEN 4 THEN 1e4 "
    "WHEN 5 THEN 1e5 WHEN 6 THEN 1e6 WHEN 7 THEN 1e7 WHEN 8 THEN 1e8 ELSE 1e9 END "
    "ELSE v.value END AS value, "
    "CASE WHEN typeof(v.value) <> 'integer' THEN (SELECT quality FROM sample_states s "
    "WHERE s.series = v.series AND s.time_ms = v.time_ms) END AS quality, "
    "CASE WHEN typeof(v.value) <> 'integer' THEN (SELECT error_code FROM sample_states s "
    "WHERE s.series = v.series AND s.time_ms = v.time_ms) END AS error_code "
    "FROM sample_values v;"
    "CREATE TABLE IF NOT EXISTS minutes(series INTEGER NOT NULL, start_ms INTEGER NOT NULL, "
    "min REAL, max REAL, sum REAL NOT NULL, count INTEGER NOT NULL, failed INTEGER NOT NULL, "
    "PRIMARY KEY(series, start_ms)) WITHOUT ROWID;"
    "CREATE TABLE IF NOT EXISTS hours(series INTEGER NOT NULL, start_ms INTEGER NOT NULL, "
    "min REAL, max REAL, sum REAL NOT NULL, count INTEGER NOT NULL, failed INTEGER NOT NULL, "
    "PRIMARY KEY(series, start_ms)) WITHOUT ROWID;";

inline constexpr long long kMinuteMs = 60'000;
inline constexpr long long kHourMs = 3'600'000;

inline constexpr int kGoodQuality = 192;

// The most decimals a stored INTEGER value holds (the view above divides by 10^0 .. 10^9).
inline constexpr int kMaxDecimals = 9;

// A good reading's value as stored: the INTEGER mantissa * 16 + decimals when `value` is exactly
// the double nearest such a decimal number, else the double itself.
std::variant<std::int64_t, double> EncodeValue(double value);
// The value a stored INTEGER stands for, as the view `samples` decodes it.
double DecodeValue(std::int64_t stored);

}  // namespace service::history_schema
