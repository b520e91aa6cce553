// The MQTT publisher's store-and-forward over the history database: which readings the broker
// has acknowledged (the mark, kept in the history file by forward_marks.h), and the readings it
// missed (an outage that outlasted the memory queue, or a restart of the service during one),
// read back from the history in order and sent again, marked historical.
//
// The mark is the time of the oldest reading not known to be acknowledged: the oldest queued,
// in flight or still to be read back from the history, and never past the newest acknowledged.
// Everything before it was acknowledged.
//
// Threads: the state is the publisher's, under its lock; ReadRows and SaveMark touch only the
// database and run on the publisher's sender thread without the lock.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "service/core/forward_marks.h"
#include "service/core/history_reader.h"
#include "service/core/history_row.h"
#include "service/core/service_config.h"

namespace service {

// A span of the history to read back: [sinceMs, untilMs), of which [sinceMs, skipUntilMs) is older
// than replay_max_age_s and only counted.
struct ReplayWindow {
    std::int64_t sinceMs = 0;
    std::int64_t skipUntilMs = 0;
    std::int64_t untilMs = 0;
};

// Now, in ms since 1970-01-01 UTC: the clock of the readings' times.
std::int64_t NowUtcMs();

class MqttForward {
public:
    // Enabled with a history database and the JSON payload; `startMs` is when this run's live
    // readings begin: what the history holds before it (from the stored mark) is sent again.
    MqttForward(const ServiceConfig& config, std::int64_t startMs);

    bool Enabled() const { return enabled_; }
    bool Opened() const { return marks_ != nullptr; }

    // Sender thread, no lock: opens the database and takes the stored mark as the start of what
    // is to be sent again. False (to be tried again later) while the history file is not there.
    bool Open(std::string& error);
    // The stored mark found by Open, when the state takes it (under the lock).
    void TakeStoredMark();

    // Under the lock. A reading was handed to the connection as message `mid`.
    void Sent(int mid, std::int64_t utcMs);
    // A reading the broker acknowledged (by message id, or its time when acknowledged before
    // Sent).
    void Acked(int mid);
    void AckedAt(std::int64_t utcMs);
    // A reading dropped from the full memory queue: the history sends it later.
    void Dropped(std::int64_t utcMs);
    // Whether a live reading of `utcMs` is left to the history (it lies in a span read back);
    // else it is about to be sent live.
    bool LeftToHistory(std::int64_t utcMs);
    // The next span to read back at `nowMs`, if any is due.
    std::optional<ReplayWindow> NextWindow(std::int64_t nowMs) const;
    // `window` was read back, `rows` of it sent, `skipped` counted.
    void Advance(const ReplayWindow& window, std::size_t rows, std::uint64_t skipped);
    // The mark now; `oldestQueued` the time of the oldest reading in the memory queue.
    std::int64_t Mark(std::optional<std::int64_t> oldestQueued) const;

    // Sender thread, no lock.
    // Reads `window`'s rows, no more than a batch of replay_rate: a window that holds more is
    // cut short at a reading's time, and `window` says what was read.
    bool ReadRows(ReplayWindow& window, std::vector<HistoryRow>& rows, std::uint64_t& skipped,
                  std::string& error);
    bool SaveMark(std::int64_t mark, std::string& error);

    std::uint64_t replayed() const { return replayed_; }
    std::uint64_t skipped() const { return skipped_; }

private:
    std::int64_t Batch() const;  // readings per window at most

    bool enabled_ = false;
    std::string database_;
    std::string consumer_;
    MqttReplayConfig replay_;
    std::int64_t startMs_ = 0;
    std::unique_ptr<ForwardMarks> marks_;
    std::unique_ptr<HistoryReader> reader_;
    std::optional<std::int64_t> stored_;

    // What is still to be read back, oldest first: the last run's readings from its mark, then
    // each run of readings dropped from the memory queue with no live one sent between.
    std::deque<std::pair<std::int64_t, std::int64_t>> spans_;  // [since, until)
    bool liveSinceDrop_ = true;         // a live reading was sent since the last drop
    std::int64_t spanMs_ = 10'000;      // of the next window, grown or shrunk to fit a batch
    std::map<int, std::int64_t> sent_;  // readings in flight by message id
    std::int64_t floor_ = 0;            // just past the newest acknowledged reading
    std::uint64_t replayed_ = 0;
    std::uint64_t skipped_ = 0;
};

}  // namespace service
