#include "service/history/history_writer.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "service/core/live_table.h"
#include "service/core/service_log.h"

namespace service {
namespace {

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS readings(time_ms INTEGER NOT NULL, line TEXT NOT NULL, "
    "station INTEGER NOT NULL, register TEXT NOT NULL, value REAL, quality INTEGER NOT NULL, "
    "error_code INTEGER NOT NULL);"
    "CREATE INDEX IF NOT EXISTS readings_by_time ON readings(time_ms);";

bool Exec(sqlite3* db, const char* sql, std::string& error) {
    char* message = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &message) == SQLITE_OK) return true;
    error = message != nullptr ? message : sqlite3_errmsg(db);
    sqlite3_free(message);
    return false;
}

}  // namespace

std::unique_ptr<HistoryWriter> HistoryWriter::Open(const std::string& path,
                                                   std::chrono::milliseconds retention,
                                                   std::string& error,
                                                   std::chrono::milliseconds commitPeriod) {
    std::unique_ptr<HistoryWriter> writer(new HistoryWriter());
    writer->path_ = path;
    writer->retention_ = retention;
    writer->commitPeriod_ = commitPeriod;
    if (!writer->OpenDatabase(error)) return nullptr;
    writer->thread_ = std::thread([w = writer.get()] { w->Run(); });
    return writer;
}

bool HistoryWriter::OpenDatabase(std::string& error) {
    std::string why;
    if (sqlite3_open_v2(path_.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
        SQLITE_OK) {
        why = db_ != nullptr ? sqlite3_errmsg(db_) : "out of memory";
    } else {
        sqlite3_busy_timeout(db_, 2000);
        // WAL lets readers go on while a batch is written; NORMAL syncs at each checkpoint rather
        // than each commit, which keeps every committed row through a crash of the process (not
        // of the machine) and costs no fsync a second.
        if (!Exec(db_, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;", why) ||
            !Exec(db_, kSchema, why) ||
            sqlite3_prepare_v2(db_,
                               "INSERT INTO readings(time_ms, line, station, register, value, "
                               "quality, error_code) VALUES(?,?,?,?,?,?,?)",
                               -1, &insert_, nullptr) != SQLITE_OK) {
            if (why.empty()) why = sqlite3_errmsg(db_);
        }
    }
    // The schema has been written, so the file exists: this is the file the rows go to.
    struct stat file {};
    if (why.empty()) {
        if (::stat(path_.c_str(), &file) != 0) {
            why = std::string("the file cannot be found after opening it: ") + std::strerror(errno);
        }
    }
    if (!why.empty()) {
        error = "history database " + path_ + ": " + why;
        CloseDatabase();
        return false;
    }
    device_ = file.st_dev;
    inode_ = file.st_ino;
    return true;
}

void HistoryWriter::CloseDatabase() {
    if (insert_ != nullptr) sqlite3_finalize(insert_);
    insert_ = nullptr;
    if (db_ != nullptr) sqlite3_close(db_);
    db_ = nullptr;
}

bool HistoryWriter::PathNamesOpenFile() {
    struct stat file {};
    if (::stat(path_.c_str(), &file) != 0) {
        const int e = errno;
        // Only a file that is gone is reopened; a path that cannot be looked at now (a folder
        // made unreadable) leaves the open file in use.
        if (e != ENOENT) return true;
        Log(LogLevel::kError,
            "history: " + path_ + " was deleted while open; a new database is made there");
        return false;
    }
    if (file.st_dev == device_ && file.st_ino == inode_) return true;
    Log(LogLevel::kError, "history: " + path_ +
                              " is no longer the file that was open (replaced); the database now "
                              "at that path is opened");
    return false;
}

HistoryWriter::~HistoryWriter() {
    if (thread_.joinable()) {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }
    CloseDatabase();
}

void HistoryWriter::Add(HistoryRow row) {
    std::lock_guard lock(mutex_);
    if (queue_.size() >= kMaxQueued) {
        // Said by the counter, not the log: this happens up to every poll.
        ++counters_.rowsDropped;
        return;
    }
    queue_.push_back(std::move(row));
}

void HistoryWriter::Flush() {
    std::unique_lock lock(mutex_);
    const std::uint64_t ticket = ++flushAsked_;
    wake_.notify_all();
    flushed_.wait(lock, [&] { return flushDone_ >= ticket || !thread_.joinable(); });
}

HistoryCounters HistoryWriter::Counters() const {
    std::lock_guard lock(mutex_);
    return counters_;
}

void HistoryWriter::Run() {
    std::vector<HistoryRow> batch;
    auto lastCommit = std::chrono::steady_clock::now() - commitPeriod_;
    for (;;) {
        std::uint64_t flushTicket = 0;
        bool stop = false;
        bool pruneNow = false;
        std::chrono::milliseconds retention{0};
        {
            std::unique_lock lock(mutex_);
            // The next transaction comes a commit period after the last one, sooner only when
            // asked (Flush, stopping).
            wake_.wait_until(lock, lastCommit + commitPeriod_,
                             [&] { return stopping_ || pruneAsked_ || flushAsked_ > flushDone_; });
            batch.swap(queue_);
            pruneNow = std::exchange(pruneAsked_, false);
            retention = retention_;
            flushTicket = flushAsked_;
            stop = stopping_;
        }
        // Looked at every period, rows or none, so that a deleted database is made again before
        // a reader asks for it.
        std::string error;
        if (db_ != nullptr && !PathNamesOpenFile()) {
            CloseDatabase();
            // SQLite leaves the write-ahead log of a moved file as it is; beside the new file it
            // would be replayed into it, rows of the old file into a database they never were in.
            std::remove((path_ + "-wal").c_str());
            std::remove((path_ + "-shm").c_str());
        }
        // A database that could not be opened is tried again each period.
        if (db_ != nullptr || OpenDatabase(error)) {
            if (!batch.empty()) error = WriteBatch(batch);
            if (!error.empty()) error = "history database " + path_ + ": " + error;
        }
        if (!batch.empty() || !error.empty()) Record(batch.size(), error);
        // Also after a round with no rows, which would otherwise wake again at once.
        lastCommit = std::chrono::steady_clock::now();
        batch.clear();
        if (db_ != nullptr &&
            (pruneNow || std::chrono::steady_clock::now() - lastPrune_ > std::chrono::minutes(1))) {
            Prune(retention);
        }
        {
            std::lock_guard lock(mutex_);
            flushDone_ = flushTicket;
        }
        flushed_.notify_all();
        if (stop) return;
    }
}

std::string HistoryWriter::WriteBatch(const std::vector<HistoryRow>& batch) {
    std::string error;
    if (!Exec(db_, "BEGIN", error)) return error;
    for (const HistoryRow& row : batch) {
        sqlite3_reset(insert_);
        sqlite3_bind_int64(insert_, 1, row.utcMs);
        sqlite3_bind_text(insert_, 2, row.line.c_str(), static_cast<int>(row.line.size()),
                          SQLITE_STATIC);
        sqlite3_bind_int(insert_, 3, row.station);
        sqlite3_bind_text(insert_, 4, row.mnemonic.c_str(), static_cast<int>(row.mnemonic.size()),
                          SQLITE_STATIC);
        if (row.value) {
            sqlite3_bind_double(insert_, 5, *row.value);
        } else {
            sqlite3_bind_null(insert_, 5);
        }
        sqlite3_bind_int(insert_, 6, row.quality);
        sqlite3_bind_int(insert_, 7, row.errorCode);
        if (sqlite3_step(insert_) != SQLITE_DONE) {
            error = sqlite3_errmsg(db_);
            break;
        }
    }
    sqlite3_reset(insert_);
    if (error.empty() && Exec(db_, "COMMIT", error)) return {};
    // SQLite may have rolled back already (a full disk does): then there is nothing to undo, and
    // what ROLLBACK would say must not hide the reason.
    if (sqlite3_get_autocommit(db_) == 0) {
        std::string ignored;
        Exec(db_, "ROLLBACK", ignored);
    }
    return error;
}

void HistoryWriter::Record(std::size_t rows, const std::string& error) {
    bool wasFailing = false;
    std::string previous;
    std::uint64_t droppedBefore = 0;
    {
        std::lock_guard lock(mutex_);
        wasFailing = counters_.failing;
        previous = counters_.error;
        if (error.empty()) {
            counters_.rowsWritten += rows;
            counters_.lastCommitUtcMs = UtcNowMs();
            ++counters_.commits;
            counters_.failing = false;
            counters_.error.clear();
        } else {
            counters_.rowsDropped += rows;
            counters_.failing = true;
            counters_.error = error;
        }
        droppedBefore = counters_.rowsDropped;
    }
    // Once per change, not once per batch: a full disk would say the same every second.
    if (!error.empty() && (!wasFailing || error != previous)) {
        Log(LogLevel::kError, error + "; " + std::to_string(rows) +
                                  " rows not written (every row until it writes again is counted "
                                  "in qm4720_history_rows_dropped_total)");
    } else if (error.empty() && wasFailing) {
        Log(LogLevel::kNotice, "history: writing to " + path_ + " again (" +
                                   std::to_string(droppedBefore) + " rows dropped in all)");
    }
}

void HistoryWriter::SetRetention(std::chrono::milliseconds retention) {
    {
        std::lock_guard lock(mutex_);
        retention_ = retention;
        pruneAsked_ = true;
    }
    wake_.notify_all();
}

void HistoryWriter::Prune(std::chrono::milliseconds retention) {
    lastPrune_ = std::chrono::steady_clock::now();
    const std::string sql =
        "DELETE FROM readings WHERE time_ms < " + std::to_string(UtcNowMs() - retention.count());
    std::string error;
    if (!Exec(db_, sql.c_str(), error)) Log(LogLevel::kError, "history: pruning: " + error);
}

}  // namespace service
