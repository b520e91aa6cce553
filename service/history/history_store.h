// The SQLite side of the history writer: one open database file of history_schema.h's tables,
// the batches written into it and the rows pruned out of it. Used by the writer's thread alone.
#pragma once

#include <sqlite3.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "service/core/history_row.h"
#include "service/history/history_policy.h"

namespace service {

class HistoryStore {
public:
    // Opens (creates) `path`. Null with `error` = what SQLite said.
    static std::unique_ptr<HistoryStore> Open(const std::string& path, std::string& error);

    // The file holds the earlier single table: its rows are to be moved (MoveEarlierRows) before
    // any batch is written, and until then readers read that table.
    bool HoldsEarlierTable() const { return earlierTable_; }
    // Moves the rows of the earlier table into the tables by series and drops it, in one
    // transaction: on the writer's thread, after the service started, since a file of months
    // takes minutes. Empty when done, else what went wrong (nothing moved).
    std::string MoveEarlierRows();
    ~HistoryStore();
    HistoryStore(const HistoryStore&) = delete;
    HistoryStore& operator=(const HistoryStore&) = delete;

    // Every reading of `batch` into the minute and hour aggregates, and those that `filter` keeps
    // as rows, in one transaction. Empty when committed, else the first error met; `stored` is
    // how many rows were kept.
    std::string Write(const std::vector<HistoryRow>& batch, const HistorySettings& settings,
                      ChangeFilter& filter, std::uint64_t& stored);

    // Deletes rows older than `retention`, aggregates older than theirs, then the oldest rows
    // while the data is larger than settings.maxBytes; gives the freed pages back to the file
    // system where the file allows it. Empty, or what went wrong.
    std::string Prune(std::int64_t nowMs, std::chrono::milliseconds retention,
                      const HistorySettings& settings);

    // Bytes of the file that hold data (its free pages not counted).
    std::uint64_t UsedBytes();

private:
    HistoryStore() = default;
    bool Exec(const char* sql, std::string& error);
    std::string Setup();
    std::string LoadSeries();
    // The id of the series; made when new. 0 with `error` when it cannot be.
    std::int64_t SeriesId(const HistoryRow& row, const std::string& key, std::string& error);
    std::string DeleteBefore(const char* table, const char* column, std::int64_t beforeMs);
    std::int64_t QueryNumber(const std::string& sql);

    sqlite3* db_ = nullptr;
    sqlite3_stmt* insertValue_ = nullptr;
    sqlite3_stmt* insertState_ = nullptr;
    sqlite3_stmt* deleteState_ = nullptr;
    sqlite3_stmt* insertSeries_ = nullptr;
    sqlite3_stmt* upsertMinute_ = nullptr;
    sqlite3_stmt* upsertHour_ = nullptr;
    std::map<std::string, std::int64_t> series_;  // by SeriesKey
    bool earlierTable_ = false;
};

}  // namespace service
