// Reading qm4720d's history database (history_schema.h) without disturbing the service that
// writes it: a read-only connection (the file is in WAL mode, so a reader sees the last commit
// and never takes a write lock). Shared by qm4720ctl history and GET /api/v1/history.
//
// A file of an earlier release that no service of this one has moved into the new tables yet (it
// does so once, after it started) is read as well: the reader puts temporary views of the new
// tables over its one table, slower but the same answers.
#pragma once

#include <sqlite3.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "service/core/history_row.h"

namespace service {

// Which rows: time_ms in [sinceMs, untilMs), and each non-empty filter.
struct HistoryFilter {
    std::int64_t sinceMs = std::numeric_limits<std::int64_t>::min();
    std::int64_t untilMs = std::numeric_limits<std::int64_t>::max();
    std::string line;           // "" any
    std::vector<int> stations;  // empty: any
    std::string mnemonic;       // "" any
    // Whether Read hands each register's value held at a bounded sinceMs first.
    bool held = true;
};

// One bucket of `minutes` or `hours`: of the polled readings, the good ones' minimum, maximum
// and sum (none without a good one), how many were good and how many failed.
struct HistoryBucket {
    std::int64_t startMs = 0;
    std::optional<double> min;
    std::optional<double> max;
    double sum = 0;
    std::uint64_t count = 0;
    std::uint64_t failed = 0;
};

enum class BucketTable : std::uint8_t { kMinutes, kHours };

class HistoryReader {
public:
    // Opens `path` read-only (never creates it); null with `error` = "PATH: what SQLite said".
    static std::unique_ptr<HistoryReader> Open(const std::string& path, std::string& error);
    ~HistoryReader();
    HistoryReader(const HistoryReader&) = delete;
    HistoryReader& operator=(const HistoryReader&) = delete;

    // Hands every row of `filter` to `row`, oldest first; when sinceMs is bounded, each register's
    // value held at sinceMs (its last row before, reported at sinceMs) comes first, so that a
    // step curve of the rows is the register's value over the whole span. With `newest` set, at
    // most that many rows are read, the newest ones, newest first. False with `error` set when
    // the file is not a history database or the read failed part way.
    bool Read(const HistoryFilter& filter, const std::function<void(const HistoryRow&)>& row,
              std::string& error, std::size_t newest = 0);

    // How many rows Read would hand over for `filter`, the held values not counted; no more than
    // `atMost` (when not 0) are counted, so that asking whether a span holds more than N rows
    // reads N + 1 of them at most.
    bool Count(const HistoryFilter& filter, std::uint64_t& count, std::string& error,
               std::uint64_t atMost = 0);

    // The buckets of `table` that start in [sinceMs, untilMs) of the registers of `filter`
    // (meant for one), oldest first.
    bool ReadBuckets(BucketTable table, const HistoryFilter& filter,
                     const std::function<void(const HistoryBucket&)>& bucket, std::string& error);
    // The start of the oldest bucket of `table` kept for the registers of `filter`; nullopt when
    // none is.
    bool OldestBucket(BucketTable table, const HistoryFilter& filter,
                      std::optional<std::int64_t>& startMs, std::string& error);

private:
    HistoryReader() = default;
    bool Prepare(const std::string& sql, sqlite3_stmt*& statement, std::string& error);
    bool SeriesOf(const HistoryFilter& filter, std::vector<std::int64_t>& ids, std::string& error);

    sqlite3* db_ = nullptr;
    std::string path_;
};

}  // namespace service
