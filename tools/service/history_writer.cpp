#include "tools/service/history_writer.h"

#include "tools/service/live_table.h"
#include "tools/service/service_log.h"

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
    if (sqlite3_open_v2(path.c_str(), &writer->db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                        nullptr) != SQLITE_OK) {
        error = "history database " + path + ": " +
                (writer->db_ != nullptr ? sqlite3_errmsg(writer->db_) : "out of memory");
        return nullptr;
    }
    sqlite3_busy_timeout(writer->db_, 2000);
    // WAL lets readers go on while a batch is written; NORMAL syncs at each checkpoint rather than
    // each commit, which keeps every committed row through a crash of the process (not of the
    // machine) and costs no fsync a second.
    std::string why;
    if (!Exec(writer->db_, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;", why) ||
        !Exec(writer->db_, kSchema, why) ||
        sqlite3_prepare_v2(writer->db_,
                           "INSERT INTO readings(time_ms, line, station, register, value, quality, "
                           "error_code) VALUES(?,?,?,?,?,?,?)",
                           -1, &writer->insert_, nullptr) != SQLITE_OK) {
        error =
            "history database " + path + ": " + (why.empty() ? sqlite3_errmsg(writer->db_) : why);
        return nullptr;
    }
    writer->thread_ = std::thread([w = writer.get()] { w->Run(); });
    return writer;
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
    if (insert_ != nullptr) sqlite3_finalize(insert_);
    if (db_ != nullptr) sqlite3_close(db_);
}

void HistoryWriter::Add(HistoryRow row) {
    std::lock_guard lock(mutex_);
    if (queue_.size() >= kMaxQueued) {
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
        {
            std::unique_lock lock(mutex_);
            // The next transaction comes a commit period after the last one, sooner only when
            // asked (Flush, stopping).
            wake_.wait_until(lock, lastCommit + commitPeriod_,
                             [&] { return stopping_ || flushAsked_ > flushDone_; });
            batch.swap(queue_);
            flushTicket = flushAsked_;
            stop = stopping_;
        }
        if (!batch.empty()) {
            WriteBatch(batch);
            lastCommit = std::chrono::steady_clock::now();
        }
        batch.clear();
        if (std::chrono::steady_clock::now() - lastPrune_ > std::chrono::minutes(1)) Prune();
        {
            std::lock_guard lock(mutex_);
            flushDone_ = flushTicket;
        }
        flushed_.notify_all();
        if (stop) return;
    }
}

void HistoryWriter::WriteBatch(std::vector<HistoryRow>& batch) {
    std::string error;
    if (!Exec(db_, "BEGIN", error)) {
        Log(LogLevel::kError,
            "history: " + error + "; " + std::to_string(batch.size()) + " rows not written");
        return;
    }
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
    if (!error.empty() || !Exec(db_, "COMMIT", error)) {
        Exec(db_, "ROLLBACK", error);
        Log(LogLevel::kError,
            "history: " + error + "; " + std::to_string(batch.size()) + " rows not written");
        return;
    }
    std::lock_guard lock(mutex_);
    counters_.rowsWritten += batch.size();
    counters_.lastCommitUtcMs = UtcNowMs();
    ++counters_.commits;
}

void HistoryWriter::Prune() {
    lastPrune_ = std::chrono::steady_clock::now();
    const std::string sql =
        "DELETE FROM readings WHERE time_ms < " + std::to_string(UtcNowMs() - retention_.count());
    std::string error;
    if (!Exec(db_, sql.c_str(), error)) Log(LogLevel::kError, "history: pruning: " + error);
}

}  // namespace service
