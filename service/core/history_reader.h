// Reading qm4720d's history database (schema in history_writer.h) without disturbing the service
// that writes it: a read-only connection (the file is in WAL mode, so a reader sees the last
// commit and never takes a write lock). Shared by qm4720ctl history and GET /api/v1/history.
#pragma once

#include <sqlite3.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
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
};

class HistoryReader {
public:
    // Opens `path` read-only (never creates it); null with `error` = "PATH: what SQLite said".
    static std::unique_ptr<HistoryReader> Open(const std::string& path, std::string& error);
    ~HistoryReader();
    HistoryReader(const HistoryReader&) = delete;
    HistoryReader& operator=(const HistoryReader&) = delete;

    // Hands every row of `filter` to `row`, oldest first. With `newest` set, at most that many
    // rows are read, the newest ones, newest first. False with `error` set when the file is not a
    // history database or the read failed part way.
    bool Read(const HistoryFilter& filter, const std::function<void(const HistoryRow&)>& row,
              std::string& error, std::size_t newest = 0);

private:
    HistoryReader() = default;

    sqlite3* db_ = nullptr;
    std::string path_;
};

}  // namespace service
