// The MQTT publisher's turn at the store-and-forward (mqtt_forward.h), on its sender thread.
#include <mosquitto.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "service/core/service_log.h"
#include "service/mqtt/mqtt_publisher.h"

namespace service {
namespace {

// How often the mark is saved, and a history file not there yet is looked for again.
constexpr std::chrono::seconds kMarkPeriod{1};
constexpr std::chrono::milliseconds kReplayPeriod{100};

// A reading of the history as the cell a live one would be.
LiveCell CellOf(const HistoryRow& row) {
    LiveCell cell;
    cell.station = row.station;
    cell.mnemonic = row.mnemonic;
    cell.answered = true;
    cell.ok = row.value.has_value();
    cell.value = row.value.value_or(0.0);
    cell.quality = row.quality;
    cell.utcMs = row.utcMs;
    cell.errorCode = row.errorCode;
    return cell;
}

}  // namespace

bool MqttPublisher::ReplayDue() const {
    return connected_ && queue_.empty() && commands_.empty() && !sessionPending_ &&
           inFlight_.size() < kWindow / 2 && forward_.NextWindow(NowUtcMs()).has_value();
}

void MqttPublisher::ForwardStep(std::unique_lock<std::mutex>& lock) {
    const Clock::time_point now = Clock::now();
    std::string error;
    if (now >= nextMark_) {
        nextMark_ = now + kMarkPeriod;
        if (!forward_.Opened()) {
            lock.unlock();
            const bool opened = forward_.Open(error);
            lock.lock();
            if (!opened) return;
            forward_.TakeStoredMark();
        }
        std::optional<std::int64_t> oldestQueued;
        for (const Message& m : queue_) {
            if (m.reading)
                oldestQueued = std::min(oldestQueued.value_or(m.reading->utcMs), m.reading->utcMs);
        }
        const std::int64_t mark = forward_.Mark(oldestQueued);
        if (mark != savedMark_) {
            lock.unlock();
            const bool saved = forward_.SaveMark(mark, error);
            lock.lock();
            if (saved) {
                savedMark_ = mark;
            } else {
                Log(LogLevel::kWarning,
                    "MQTT: cannot save how far the broker acknowledged: " + error);
            }
        }
    }
    // Looked at every period, as a span of the history becomes old enough to be read back.
    if (now < nextReplay_) return;
    nextReplay_ = now + kReplayPeriod;
    if (!ReplayDue()) return;
    const std::optional<ReplayWindow> window = forward_.NextWindow(NowUtcMs());
    if (!window) return;
    lock.unlock();
    std::vector<HistoryRow> rows;
    std::uint64_t skipped = 0;
    ReplayWindow readWindow = *window;
    const bool read = forward_.ReadRows(readWindow, rows, skipped, error);
    lock.lock();
    if (!read) {
        Log(LogLevel::kWarning, "MQTT: cannot read the history to send again: " + error);
        return;
    }
    const bool started = forward_.replayed() == 0 && forward_.skipped() == 0;
    if (started && (!rows.empty() || skipped != 0)) {
        Log(LogLevel::kNotice,
            "MQTT: sending again from the history the readings the broker "
            "missed" +
                (skipped != 0
                     ? ", " + std::to_string(skipped) + " older than replay_max_age_s skipped"
                     : std::string()));
    }
    if (skipped != 0 && !started) {
        Log(LogLevel::kNotice, "MQTT: " + std::to_string(skipped) +
                                   " readings older than replay_max_age_s not sent again");
    }
    std::vector<OutgoingMessage> out;
    std::size_t sent = 0;
    for (const HistoryRow& row : rows) {
        if (!connected_) {
            // The connection went: the rest is read again on the next one.
            readWindow.untilMs = row.utcMs;
            break;
        }
        const LiveCell cell = CellOf(row);
        lock.unlock();
        out.clear();
        format_->Historical(row.line, cell, out);
        lock.lock();
        PublishOut(lock, out, false, row.utcMs);
        ++sent;
    }
    forward_.Advance(readWindow, sent, skipped);
    counters_.replayed = forward_.replayed();
    counters_.replaySkipped = forward_.skipped();
}

}  // namespace service
