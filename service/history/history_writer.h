// The history of qm4720d: poll results in an SQLite database in WAL mode (history_schema.h), so
// that readers (qm4720ctl history) read while the service writes. Results are queued by the line
// workers and written by one thread in batches: one transaction a second at most. Every result
// goes into the minute and hour aggregates; it is stored as a row when it changed
// (history_policy.h). Rows older than the retention, and the oldest beyond the size bound, are
// deleted as they age out.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "service/core/history_row.h"
#include "service/history/history_policy.h"
#include "service/history/history_store.h"

namespace service {

struct HistoryCounters {
    // Readings committed, each into the aggregates; those that changed were stored as rows.
    std::uint64_t rowsWritten = 0;
    std::uint64_t rowsStored = 0;
    // Every row not written: the queue was full, or its batch could not be committed.
    std::uint64_t rowsDropped = 0;
    std::int64_t lastCommitUtcMs = 0;
    std::uint64_t commits = 0;
    // The last batch was not written (disk full, file read-only, database gone); `error` is what
    // SQLite or the system said about it. Cleared by the next batch that is written.
    bool failing = false;
    std::string error;
};

class HistoryWriter {
public:
    // Opens (creates) the database and starts the writer thread; null with `error` set (the file
    // and what SQLite said) when it cannot. `commitPeriod` is the least time between two
    // transactions. A database file deleted or replaced while open is noticed before the next
    // batch, said in the log, and a new one opened at the path.
    static std::unique_ptr<HistoryWriter> Open(
        const std::string& path, std::chrono::milliseconds retention, std::string& error,
        std::chrono::milliseconds commitPeriod = std::chrono::seconds(1));
    // Commits what is queued, then closes the database.
    ~HistoryWriter();
    HistoryWriter(const HistoryWriter&) = delete;
    HistoryWriter& operator=(const HistoryWriter&) = delete;

    // Queues a row; never blocks on the disk. Any thread.
    void Add(HistoryRow row);
    // Writes everything queued so far in one transaction now, and returns when it is committed.
    void Flush();

    // Rows older than `retention` are deleted from now on, the first of them at once (a reload
    // that keeps the database but changes how long it keeps rows).
    void SetRetention(std::chrono::milliseconds retention);
    // What is stored of each register and how long aggregates are kept, from the next batch on;
    // the size bound is applied at once.
    void SetSettings(HistorySettings settings);

    HistoryCounters Counters() const;
    const std::string& path() const { return path_; }

private:
    HistoryWriter() = default;
    bool OpenDatabase(std::string& error);
    // True when `path_` still names the file that is open; false (and the log says why) after
    // it was deleted or another file put in its place.
    bool PathNamesOpenFile();
    void Run();
    // Empty when the batch was committed; else the first error met (not what a rollback says).
    void Record(std::size_t rows, std::uint64_t stored, const std::string& error);
    void Prune(std::chrono::milliseconds retention, const HistorySettings& settings);

    // Bound of the queue: at 32 meters of 8 registers a second, over an hour of rows.
    static constexpr std::size_t kMaxQueued = 1'000'000;

    std::string path_;
    std::chrono::milliseconds retention_{0};
    std::chrono::milliseconds commitPeriod_{1000};
    std::unique_ptr<HistoryStore> store_;
    // The writer thread's own: what it last judged each series' reading against.
    ChangeFilter changes_;
    // The open file's identity, to tell it from whatever the path names later.
    dev_t device_ = 0;
    ino_t inode_ = 0;
    std::thread thread_;

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable flushed_;
    std::vector<HistoryRow> queue_;
    bool stopping_ = false;
    bool pruneAsked_ = false;
    HistorySettings settings_;
    std::uint64_t flushAsked_ = 0;
    std::uint64_t flushDone_ = 0;
    HistoryCounters counters_;
    std::chrono::steady_clock::time_point lastPrune_{};
};

}  // namespace service
