#include "service/history/history_writer.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "service/core/live_table.h"
#include "service/core/service_log.h"

namespace service {

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
    store_ = HistoryStore::Open(path_, why);
    // The schema has been written, so the file exists: this is the file the rows go to.
    struct stat file {};
    if (store_ != nullptr && ::stat(path_.c_str(), &file) != 0) {
        why = std::string("the file cannot be found after opening it: ") + std::strerror(errno);
    }
    if (!why.empty()) {
        error = "history database " + path_ + ": " + why;
        store_.reset();
        return false;
    }
    // A new file holds none of the rows the next readings would be judged against.
    changes_.Clear();
    device_ = file.st_dev;
    inode_ = file.st_ino;
    return true;
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
        HistorySettings settings;
        {
            std::unique_lock lock(mutex_);
            // The next transaction comes a commit period after the last one, sooner only when
            // asked (Flush, stopping).
            wake_.wait_until(lock, lastCommit + commitPeriod_,
                             [&] { return stopping_ || pruneAsked_ || flushAsked_ > flushDone_; });
            batch.swap(queue_);
            pruneNow = std::exchange(pruneAsked_, false);
            retention = retention_;
            settings = settings_;
            flushTicket = flushAsked_;
            stop = stopping_;
        }
        // Looked at every period, rows or none, so that a deleted database is made again before
        // a reader asks for it.
        std::string error;
        if (store_ != nullptr && !PathNamesOpenFile()) {
            store_.reset();
            // SQLite leaves the write-ahead log of a moved file as it is; beside the new file it
            // would be replayed into it, rows of the old file into a database they never were in.
            std::remove((path_ + "-wal").c_str());
            std::remove((path_ + "-shm").c_str());
        }
        // A database that could not be opened is tried again each period.
        std::uint64_t stored = 0;
        if (store_ != nullptr || OpenDatabase(error)) {
            if (store_->HoldsEarlierTable()) {
                Log(LogLevel::kNotice, "history: moving the rows of " + path_ +
                                           " into the tables by series (once; readers read the "
                                           "earlier table until it is done)");
                error = store_->MoveEarlierRows();
                if (error.empty()) Log(LogLevel::kNotice, "history: " + path_ + " moved");
            }
            if (!batch.empty() && error.empty()) {
                error = store_->Write(batch, settings, changes_, stored);
            }
            if (!error.empty()) error = "history database " + path_ + ": " + error;
        }
        if (!batch.empty() || !error.empty()) Record(batch.size(), stored, error);
        // Also after a round with no rows, which would otherwise wake again at once.
        lastCommit = std::chrono::steady_clock::now();
        batch.clear();
        if (store_ != nullptr &&
            (pruneNow || std::chrono::steady_clock::now() - lastPrune_ > std::chrono::minutes(1))) {
            Prune(retention, settings);
        }
        {
            std::lock_guard lock(mutex_);
            flushDone_ = flushTicket;
        }
        flushed_.notify_all();
        if (stop) return;
    }
}

void HistoryWriter::Record(std::size_t rows, std::uint64_t stored, const std::string& error) {
    bool wasFailing = false;
    std::string previous;
    std::uint64_t droppedBefore = 0;
    {
        std::lock_guard lock(mutex_);
        wasFailing = counters_.failing;
        previous = counters_.error;
        if (error.empty()) {
            counters_.rowsWritten += rows;
            counters_.rowsStored += stored;
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

void HistoryWriter::SetSettings(HistorySettings settings) {
    {
        std::lock_guard lock(mutex_);
        settings_ = std::move(settings);
        pruneAsked_ = true;
    }
    wake_.notify_all();
}

void HistoryWriter::Prune(std::chrono::milliseconds retention, const HistorySettings& settings) {
    lastPrune_ = std::chrono::steady_clock::now();
    const std::string error = store_->Prune(UtcNowMs(), retention, settings);
    if (!error.empty()) Log(LogLevel::kError, "history: pruning: " + error);
}

}  // namespace service
