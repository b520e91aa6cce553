#include "service/mqtt/mqtt_forward.h"

#include <algorithm>
#include <chrono>
#include <limits>

namespace service {
namespace {

// The history writer commits about once a second: a span is read back only once it is this old,
// so that what it holds is all on disk.
constexpr std::int64_t kSettleMs = 3000;
constexpr std::int64_t kShortestSpanMs = 10;
constexpr std::int64_t kLongestSpanMs = 3'600'000;
// Batches per second at replay_rate.
// Batches per second at replay_rate: the publisher reads one every 100 ms.
constexpr std::int64_t kBatchesPerSecond = 10;

}  // namespace

std::int64_t NowUtcMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

MqttForward::MqttForward(const ServiceConfig& config, std::int64_t startMs)
    : enabled_(!config.history.database.empty() && !config.mqtt.sparkplug.enabled),
      database_(config.history.database),
      consumer_("mqtt:" + config.mqtt.clientId),
      replay_(config.mqtt.replay),
      startMs_(startMs),
      floor_(startMs) {}

bool MqttForward::Open(std::string& error) {
    std::unique_ptr<ForwardMarks> marks = ForwardMarks::Open(database_, error);
    if (marks == nullptr) return false;
    std::unique_ptr<HistoryReader> reader = HistoryReader::Open(database_, error);
    if (reader == nullptr) return false;
    if (!marks->Read(consumer_, stored_, error)) return false;
    marks_ = std::move(marks);
    reader_ = std::move(reader);
    return true;
}

void MqttForward::TakeStoredMark() {
    if (!stored_) return;
    // Before this run's first reading, from where the last run left off.
    if (*stored_ < startMs_) spans_.emplace_front(*stored_, startMs_);
    stored_.reset();
}

void MqttForward::Sent(int mid, std::int64_t utcMs) {
    sent_[mid] = utcMs;
}

void MqttForward::Acked(int mid) {
    const auto it = sent_.find(mid);
    if (it == sent_.end()) return;
    AckedAt(it->second);
    sent_.erase(it);
}

void MqttForward::AckedAt(std::int64_t utcMs) {
    floor_ = std::max(floor_, utcMs + 1);
}

void MqttForward::Dropped(std::int64_t utcMs) {
    // Oldest first, so everything between two drops was dropped too unless a live one went out.
    if (!spans_.empty() && !liveSinceDrop_ && utcMs >= spans_.back().first) {
        spans_.back().second = std::max(spans_.back().second, utcMs + 1);
    } else {
        spans_.emplace_back(utcMs, utcMs + 1);
    }
    liveSinceDrop_ = false;
}

bool MqttForward::LeftToHistory(std::int64_t utcMs) {
    for (const auto& [since, until] : spans_) {
        if (utcMs >= since && utcMs < until) return true;
    }
    liveSinceDrop_ = true;
    return false;
}

std::optional<ReplayWindow> MqttForward::NextWindow(std::int64_t nowMs) const {
    if (marks_ == nullptr || spans_.empty()) return std::nullopt;
    const auto [since, until] = spans_.front();
    const std::int64_t settled = nowMs - kSettleMs;
    if (since >= settled) return std::nullopt;
    ReplayWindow w;
    w.sinceMs = since;
    w.skipUntilMs = since;
    if (replay_.maxAge.count() > 0) {
        const std::int64_t oldest = nowMs - replay_.maxAge.count() * 1000;
        w.skipUntilMs = std::clamp(oldest, since, until);
    }
    w.untilMs = std::min({w.skipUntilMs + spanMs_, until, settled});
    w.untilMs = std::max(w.untilMs, w.skipUntilMs);
    return w;
}

void MqttForward::Advance(const ReplayWindow& window, std::size_t rows, std::uint64_t skipped) {
    replayed_ += rows;
    skipped_ += skipped;
    if (!spans_.empty() && spans_.front().first == window.sinceMs) {
        spans_.front().first = window.untilMs;
        if (spans_.front().first >= spans_.front().second) spans_.pop_front();
    }
    const std::int64_t batch = Batch();
    const auto count = static_cast<std::int64_t>(rows);
    if (count < batch / 2) spanMs_ = std::min(spanMs_ * 2, kLongestSpanMs);
    if (count > batch) spanMs_ = std::max(spanMs_ / 2, kShortestSpanMs);
}

std::int64_t MqttForward::Batch() const {
    return std::max<std::int64_t>(1, static_cast<std::int64_t>(replay_.rate) / kBatchesPerSecond);
}

std::int64_t MqttForward::Mark(std::optional<std::int64_t> oldestQueued) const {
    std::int64_t mark = floor_;
    if (!spans_.empty()) mark = std::min(mark, spans_.front().first);
    if (oldestQueued) mark = std::min(mark, *oldestQueued);
    for (const auto& [mid, utcMs] : sent_) mark = std::min(mark, utcMs);
    return mark;
}

bool MqttForward::ReadRows(ReplayWindow& window, std::vector<HistoryRow>& rows,
                           std::uint64_t& skipped, std::string& error) {
    rows.clear();
    skipped = 0;
    HistoryFilter filter;
    filter.held = false;
    if (window.skipUntilMs > window.sinceMs) {
        filter.sinceMs = window.sinceMs;
        filter.untilMs = window.skipUntilMs;
        if (!reader_->Count(filter, skipped, error)) return false;
    }
    filter.sinceMs = window.skipUntilMs;
    filter.untilMs = window.untilMs;
    if (filter.untilMs <= filter.sinceMs) return true;
    if (!reader_->Read(
            filter, [&](const HistoryRow& row) { rows.push_back(row); }, error)) {
        return false;
    }
    const auto batch = static_cast<std::size_t>(Batch());
    if (rows.size() > batch) {
        // Cut between two times, never inside one: the next window starts at the cut.
        const std::int64_t cut = rows[batch].utcMs;
        if (cut > window.skipUntilMs) {
            window.untilMs = cut;
            std::erase_if(rows, [cut](const HistoryRow& row) { return row.utcMs >= cut; });
        }
    }
    return true;
}

bool MqttForward::SaveMark(std::int64_t mark, std::string& error) {
    return marks_->Write(consumer_, mark, error);
}

}  // namespace service
