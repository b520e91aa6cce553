#include "service/core/poll_schedule.h"

#include <algorithm>

namespace service {

PollSchedule::PollSchedule(const LineConfig& line, SteadyTime start)
    : meters_(line.meters.size()),
      firstWait_(line.silentRetryFirst),
      longestWait_(line.silentRetryLongest) {
    for (std::size_t m = 0; m < line.meters.size(); ++m) {
        meters_[m].wait = firstWait_;
        const MeterConfig& meter = line.meters[m];
        for (std::size_t p = 0; p < meter.polled.size(); ++p) {
            due_.push_back({start, m, p, meter.polled[p].interval});
        }
    }
}

SteadyTime PollSchedule::DueAt(const DuePoll& due) const {
    const MeterHealth& meter = meters_[due.meter];
    return meter.silent ? std::max(due.at, meter.retryAt) : due.at;
}

DuePoll* PollSchedule::Next(SteadyTime now, SteadyTime& wake) {
    if (due_.empty()) return nullptr;
    // After an exchange nothing answered, what the answering meters had due by then goes first,
    // so that two silent meters in a row never hold them back by two reply timeouts.
    if (afterMiss_) {
        DuePoll* first = nullptr;
        for (DuePoll& due : due_) {
            if (meters_[due.meter].answering && due.at <= missEnded_ &&
                (first == nullptr || due.at < first->at)) {
                first = &due;
            }
        }
        if (first != nullptr) return first;
        afterMiss_ = false;
    }
    DuePoll* first = &due_.front();
    for (DuePoll& due : due_) {
        if (DueAt(due) < DueAt(*first)) first = &due;
    }
    if (DueAt(*first) <= now) return first;
    wake = DueAt(*first);
    return nullptr;
}

void PollSchedule::Advance(DuePoll& due, SteadyTime now) {
    due.at = std::max(due.at + due.interval, now);
}

MeterChange PollSchedule::Record(DuePoll& due, bool answered, SteadyTime now) {
    Advance(due, now);
    MeterHealth& meter = meters_[due.meter];
    meter.answering = answered;
    if (answered) {
        meter.misses = 0;
        meter.wait = firstWait_;
        if (!meter.silent) return MeterChange::kNone;
        meter.silent = false;
        return MeterChange::kAnswersAgain;
    }
    afterMiss_ = true;
    missEnded_ = now;
    ++meter.misses;
    if (!meter.silent && meter.misses < kMissesBeforeSilent) return MeterChange::kNone;
    const bool went = !meter.silent;
    meter.silent = true;
    meter.retryAt = now + meter.wait;
    meter.wait = std::min(meter.wait * 2, longestWait_);
    return went ? MeterChange::kWentSilent : MeterChange::kNone;
}

bool PollSchedule::AllSilent() const {
    bool any = false;
    for (const DuePoll& due : due_) {
        if (!meters_[due.meter].silent) return false;
        any = true;
    }
    return any;
}

void PollSchedule::RetrySilentNow(SteadyTime now) {
    for (MeterHealth& meter : meters_) meter.retryAt = std::min(meter.retryAt, now);
    afterMiss_ = false;
}

void PollSchedule::PollSoon(std::size_t meter, std::size_t polled, SteadyTime now) {
    for (DuePoll& due : due_) {
        if (due.meter == meter && due.polled == polled) due.at = std::min(due.at, now);
    }
}

}  // namespace service
