// The last result of every polled register, shared between the line workers that fill it and
// whoever serves it (the outputs). One LineTable per line;
// each is guarded by its own lock, held only to copy a cell in or out, so a reader never waits
// for an exchange on a serial line.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "service/core/events.h"
#include "service/core/live_cell.h"
#include "service/core/service_config.h"

namespace service {

// Upper bounds, in ms, of the buckets of the exchange latency histogram (a last one, +Inf, is
// implied by the count).
inline constexpr std::array<double, 10> kLatencyBoundsMs{5,   10,  25,   50,   100,
                                                         250, 500, 1000, 2500, 5000};

// Exchanges of one line by outcome since the service started it.
struct LineCounters {
    std::uint64_t ok = 0;
    std::uint64_t timeout = 0;
    std::uint64_t replyError = 0;  // malformed reply, failed block check
    std::uint64_t refused = 0;     // a write the meter answered with NAK
    std::uint64_t otherError = 0;  // the port failed, the driver refused a read
    std::uint64_t openFailed = 0;
    // Writes refused for what the client asked (not writable, a value the field cannot carry),
    // apart from the exchanges: a client's typo is not a fault of the line. Not in the latency.
    std::uint64_t writeRefusals = 0;
    // The latency of every exchange counted above but openFailed: latencyAtMost[i] exchanges took
    // at most kLatencyBoundsMs[i] (cumulative, as Prometheus has its buckets).
    std::array<std::uint64_t, kLatencyBoundsMs.size()> latencyAtMost{};
    std::uint64_t latencyCount = 0;
    double latencySumMs = 0;
    // A line through a serial device server: its bridge's last connect time and last round trip
    // through the socket (request bytes sent to the first reply bytes back), in ms; negative
    // while there is none.
    double bridgeConnectMs = -1;
    double bridgeRoundTripMs = -1;
};

class LineTable {
public:
    explicit LineTable(const LineConfig& line);

    const std::string& name() const { return name_; }

    // The cell of `station`'s register `index`, copied; nullopt when it is not polled.
    std::optional<LiveCell> Find(std::int16_t station, std::int16_t index) const;
    std::vector<LiveCell> Snapshot() const;
    LineState State() const;
    // Why the line is lost ("" unless it is).
    std::string LostReason() const;
    LineCounters Counters() const;
    // Whether `station` is taken for silent (it stopped answering while its line is up).
    bool MeterSilent(std::int16_t station) const;

    // The position of a polled cell, fixed for the table's life; -1 when not polled.
    int Slot(std::int16_t station, std::int16_t index) const;

    // Where the table tells of every change it holds (events.h); set once, before the line's
    // worker starts.
    void SetEvents(const EventStream& events) { events_ = &events; }
    const EventStream* events() const { return events_; }

    // Writers: the line's worker only.
    void StoreRead(int slot, const qm4720::Reading& reading, std::int64_t utcMs, SteadyTime now);
    // Every cell failed with `reason` and DriverError `code` (the line was lost); the latest good
    // values stay for the age.
    void FailAll(const std::string& reason, std::int32_t code, std::int64_t utcMs);
    void SetState(LineState state, std::string lostReason = {});
    // `station` stopped answering, `last` the exchange it did not answer (its every cell fails
    // with that error, their latest good values kept for the age), or answers again.
    void SetMeterSilent(std::int16_t station, bool silent, const qm4720::Reading& last,
                        std::int64_t utcMs);
    void Count(const qm4720::Reading& reading, bool write);
    // A write refused before it was queued for the line (LineGateway).
    void CountWriteRefusal();
    void CountOpenFailure();
    void SetBridgeTimes(double connectMs, double roundTripMs);

private:
    std::string name_;
    std::map<std::pair<std::int16_t, std::int16_t>, int> slots_;  // fixed after construction
    mutable std::mutex mutex_;
    std::vector<LiveCell> cells_;
    LineState state_ = LineState::kStarting;
    std::string lostReason_;
    std::set<std::int16_t> silent_;
    LineCounters counters_;
    const EventStream* events_ = nullptr;
};

// The tables of every line, by line name.
class LiveTable {
public:
    explicit LiveTable(const ServiceConfig& config);
    const std::vector<std::shared_ptr<LineTable>>& Lines() const { return lines_; }
    std::shared_ptr<LineTable> Line(const std::string& name) const;

private:
    std::vector<std::shared_ptr<LineTable>> lines_;
};

// The driver's own code of `error`, as the cells show it: kErrorNone when the driver gave none
// (the failures that only this library names).
std::int32_t DriverCode(const qm4720::Error& error);

// Milliseconds since 1970-01-01 UTC now.
std::int64_t UtcNowMs();

}  // namespace service
