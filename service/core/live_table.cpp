#include "service/core/live_table.h"

#include "contract/messages.h"

namespace service {

CellState JudgeCell(const LiveCell& cell, SteadyTime now) {
    if (!cell.answered || !cell.ok) return CellState::kFailed;
    return now - cell.goodAt > cell.allowedAge ? CellState::kStale : CellState::kGood;
}

std::optional<std::chrono::milliseconds> CellAge(const LiveCell& cell, SteadyTime now) {
    if (!cell.everGood) return std::nullopt;
    return std::chrono::duration_cast<std::chrono::milliseconds>(now - cell.goodAt);
}

const char* LineStateName(LineState state) {
    switch (state) {
        case LineState::kStarting:
            return "starting";
        case LineState::kUp:
            return "up";
        case LineState::kLost:
            return "lost";
    }
    return "?";
}

LineTable::LineTable(const LineConfig& line) : name_(line.name) {
    for (const MeterConfig& meter : line.meters) {
        for (const PolledRegister& polled : meter.polled) {
            slots_[{meter.station, polled.reg.index}] = static_cast<int>(cells_.size());
            LiveCell cell;
            cell.station = meter.station;
            cell.model = meter.model;
            cell.mnemonic = polled.reg.mnemonic;
            cell.index = polled.reg.index;
            cell.interval = polled.interval;
            cell.allowedAge = polled.allowedAge;
            cells_.push_back(std::move(cell));
        }
    }
}

int LineTable::Slot(std::int16_t station, std::int16_t index) const {
    const auto it = slots_.find({station, index});
    return it == slots_.end() ? -1 : it->second;
}

std::optional<LiveCell> LineTable::Find(std::int16_t station, std::int16_t index) const {
    const int slot = Slot(station, index);
    if (slot < 0) return std::nullopt;
    std::lock_guard lock(mutex_);
    return cells_[static_cast<std::size_t>(slot)];
}

std::vector<LiveCell> LineTable::Snapshot() const {
    std::lock_guard lock(mutex_);
    return cells_;
}

LineState LineTable::State() const {
    std::lock_guard lock(mutex_);
    return state_;
}

std::string LineTable::LostReason() const {
    std::lock_guard lock(mutex_);
    return lostReason_;
}

bool LineTable::MeterSilent(std::int16_t station) const {
    std::lock_guard lock(mutex_);
    return silent_.count(station) != 0;
}

LineCounters LineTable::Counters() const {
    std::lock_guard lock(mutex_);
    return counters_;
}

void LineTable::StoreRead(int slot, const qm4720::Reading& reading, std::int64_t utcMs,
                          SteadyTime now) {
    LiveCell copy;
    {
        std::lock_guard lock(mutex_);
        LiveCell& cell = cells_[static_cast<std::size_t>(slot)];
        cell.answered = true;
        cell.ok = reading.ok();
        cell.utcMs = utcMs;
        cell.latencyMs = reading.latency.count();
        cell.quality = reading.ok() ? static_cast<std::int16_t>(reading.quality) : 0;
        if (reading.ok()) {
            cell.everGood = true;
            cell.value = reading.value;
            cell.goodUtcMs = utcMs;
            cell.goodAt = now;
            cell.errorCode = contract::kErrorNone;
            cell.errorText.clear();
        } else {
            cell.errorCode = DriverCode(reading.error);
            cell.errorText = reading.error.driverText;
        }
        copy = cell;
    }
    if (events_ != nullptr) events_->Publish(ReadingEvent{name_, copy, ReadingCause::kPoll});
}

void LineTable::FailAll(const std::string& reason, std::int32_t code, std::int64_t utcMs) {
    std::vector<LiveCell> copies;
    {
        std::lock_guard lock(mutex_);
        for (LiveCell& cell : cells_) {
            cell.answered = true;
            cell.ok = false;
            cell.quality = 0;
            cell.utcMs = utcMs;
            cell.errorCode = code;
            cell.errorText = reason;
        }
        copies = cells_;
    }
    if (events_ == nullptr) return;
    for (const LiveCell& cell : copies) {
        events_->Publish(ReadingEvent{name_, cell, ReadingCause::kLineLost});
    }
}

void LineTable::SetState(LineState state, std::string lostReason) {
    std::string reason;
    {
        std::lock_guard lock(mutex_);
        state_ = state;
        lostReason_ = state == LineState::kLost ? std::move(lostReason) : std::string();
        reason = lostReason_;
    }
    if (events_ != nullptr) events_->Publish(LineStateEvent{name_, state, reason});
}

void LineTable::SetMeterSilent(std::int16_t station, bool silent, const qm4720::Reading& last,
                               std::int64_t utcMs) {
    std::vector<LiveCell> copies;
    {
        std::lock_guard lock(mutex_);
        if (silent) {
            silent_.insert(station);
        } else {
            silent_.erase(station);
        }
        for (LiveCell& cell : cells_) {
            if (!silent || cell.station != station) continue;
            cell.answered = true;
            cell.ok = false;
            cell.quality = 0;
            cell.utcMs = utcMs;
            cell.errorCode = DriverCode(last.error);
            cell.errorText = last.error.driverText;
            copies.push_back(cell);
        }
    }
    if (events_ == nullptr) return;
    events_->Publish(MeterStateEvent{name_, station, silent});
    for (const LiveCell& cell : copies) {
        events_->Publish(ReadingEvent{name_, cell, ReadingCause::kMeterSilent});
    }
}

void LineTable::Count(const qm4720::Reading& reading, bool write) {
    using qm4720::ErrorCode;
    const ErrorCode code = reading.error.code;
    std::lock_guard lock(mutex_);
    // Refused by the driver before the line (range, format, type): the client's, not the line's.
    if (write && !reading.ok() && code != ErrorCode::kRefused && code != ErrorCode::kTimeout &&
        code != ErrorCode::kReply && code != ErrorCode::kOpen) {
        ++counters_.writeRefusals;
        return;
    }
    const double latencyMs = reading.latency.count();
    for (std::size_t i = 0; i < kLatencyBoundsMs.size(); ++i) {
        if (latencyMs <= kLatencyBoundsMs[i]) ++counters_.latencyAtMost[i];
    }
    ++counters_.latencyCount;
    counters_.latencySumMs += latencyMs;
    if (reading.ok()) {
        ++counters_.ok;
    } else if (code == ErrorCode::kTimeout) {
        ++counters_.timeout;
    } else if (code == ErrorCode::kReply) {
        ++counters_.replyError;
    } else if (write && code == ErrorCode::kRefused) {
        ++counters_.refused;
    } else {
        ++counters_.otherError;
    }
}

void LineTable::CountWriteRefusal() {
    std::lock_guard lock(mutex_);
    ++counters_.writeRefusals;
}

void LineTable::CountOpenFailure() {
    std::lock_guard lock(mutex_);
    ++counters_.openFailed;
}

void LineTable::SetBridgeTimes(double connectMs, double roundTripMs) {
    std::lock_guard lock(mutex_);
    counters_.bridgeConnectMs = connectMs;
    counters_.bridgeRoundTripMs = roundTripMs;
}

LiveTable::LiveTable(const ServiceConfig& config) {
    for (const LineConfig& line : config.lines) {
        lines_.push_back(std::make_shared<LineTable>(line));
    }
}

std::shared_ptr<LineTable> LiveTable::Line(const std::string& name) const {
    for (const auto& line : lines_) {
        if (line->name() == name) return line;
    }
    return nullptr;
}

std::int32_t DriverCode(const qm4720::Error& error) {
    const auto code = static_cast<std::int32_t>(error.code);
    return code < static_cast<std::int32_t>(qm4720::ErrorCode::kModule) ? code
                                                                        : contract::kErrorNone;
}

std::int64_t UtcNowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace service
