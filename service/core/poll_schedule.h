// The order in which a line worker asks for its registers: earliest deadline first, except that a
// meter that stopped answering is asked only once per its own backoff, and that after an exchange
// nothing answered, the answering meters' registers already due go before anything else. So a
// silent meter costs its line one reply timeout (and the driver's short quiet time after it) per
// backoff, and the meters that answer are late by that at most.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "service/core/service_config.h"

namespace service {

using SteadyTime = std::chrono::steady_clock::time_point;

// A meter is taken for silent after this many exchanges in a row it did not answer: one lost
// reply is not enough.
inline constexpr int kMissesBeforeSilent = 2;

// One polled register of one meter and when it is due.
struct DuePoll {
    SteadyTime at;
    std::size_t meter;   // index in the line's meters
    std::size_t polled;  // index in the meter's polled registers
    std::chrono::milliseconds interval;
};

// What an exchange changed about its meter, for the log and the live table.
enum class MeterChange : std::uint8_t { kNone, kWentSilent, kAnswersAgain };

class PollSchedule {
public:
    // Every polled register of `line` due at `start`.
    PollSchedule(const LineConfig& line, SteadyTime start);

    bool Empty() const { return due_.empty(); }

    // The register to ask now, or null when none is due yet; then `wake` is when one will be.
    DuePoll* Next(SteadyTime now, SteadyTime& wake);

    // The exchange of `due` ended at `now`, answered (anything came back) or not. Its next
    // deadline follows the last one, but a register that fell behind does not catch up with a
    // burst of polls.
    MeterChange Record(DuePoll& due, bool answered, SteadyTime now);
    // The exchange of `due` ended at `now` and says nothing about its meter (the port failed).
    void Advance(DuePoll& due, SteadyTime now);

    // Every meter that is polled is silent: nothing on the line answers.
    bool AllSilent() const;
    bool Silent(std::size_t meter) const { return meters_[meter].silent; }

    // The line was opened again: every silent meter is asked at once.
    void RetrySilentNow(SteadyTime now);
    // Asks `meter`'s register `polled` at once (after a write to it).
    void PollSoon(std::size_t meter, std::size_t polled, SteadyTime now);

private:
    struct MeterHealth {
        int misses = 0;          // exchanges in a row it did not answer
        bool answering = false;  // its last exchange was answered
        bool silent = false;     // asked only at retryAt
        SteadyTime retryAt{};
        std::chrono::milliseconds wait{0};  // the backoff of its next retry
    };

    SteadyTime DueAt(const DuePoll& due) const;

    std::vector<DuePoll> due_;
    std::vector<MeterHealth> meters_;
    std::chrono::milliseconds firstWait_;
    std::chrono::milliseconds longestWait_;
    bool afterMiss_ = false;
    SteadyTime missEnded_{};  // when the last unanswered exchange ended
};

}  // namespace service
