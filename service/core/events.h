// What happens in a running configuration, told to whoever subscribed: a new result of a polled
// register, a meter that goes silent or answers again, a line's change of state, a write done.
// The runtime owns the stream; the history and the MQTT publisher are fed by it alone, so that
// whatever one of them hears of (a lost line, say), the other hears of too.
//
// Subscribers are added while the runtime starts its outputs and live until it stopped; an output
// started earlier may already make events then (a Modbus client's write), so the list is guarded.
// Events come on the thread that made them (a line's worker; for a write, the front end's thread
// that asked), after the live table holds what they tell: a subscriber must not block for long, and
// must take events from several threads at once.
#pragma once

#include <cstdint>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <vector>

#include "service/core/cell_state.h"
#include "service/core/live_cell.h"

namespace service {

// Why a cell has a new result.
enum class ReadingCause : std::uint8_t {
    kPoll,         // the register was read (good or failed)
    kMeterSilent,  // its meter went silent: every cell of the meter failed with that exchange
    kLineLost,     // its line was lost or cannot be opened: every cell of the line failed
};

struct ReadingEvent {
    std::string_view line;
    const LiveCell& cell;
    ReadingCause cause;
};

struct MeterStateEvent {
    std::string_view line;
    std::int16_t station;
    bool silent;  // false: it answers again
};

struct LineStateEvent {
    std::string_view line;
    LineState state;
    std::string_view reason;  // why it is lost ("" unless it is)
};

// A write that reached a line's gateway (one refused by name before any line makes none).
struct WriteDoneEvent {
    std::string_view line;
    std::int16_t station;
    std::string_view mnemonic;  // or "register #N" for a register no configuration names
    double requested;
    const WriteResult& result;
    std::string_view who;
};

class EventSubscriber {
public:
    virtual ~EventSubscriber() = default;
    virtual void OnReading(const ReadingEvent&) {}
    virtual void OnMeterState(const MeterStateEvent&) {}
    virtual void OnLineState(const LineStateEvent&) {}
    virtual void OnWriteDone(const WriteDoneEvent&) {}
};

class EventStream {
public:
    // `subscriber` must outlive every event.
    void Subscribe(EventSubscriber& subscriber) {
        std::unique_lock lock(mutex_);
        subscribers_.push_back(&subscriber);
    }

    // Before the subscribers go.
    void UnsubscribeAll() {
        std::unique_lock lock(mutex_);
        subscribers_.clear();
    }

    void Publish(const ReadingEvent& event) const {
        Tell([&](EventSubscriber& s) { s.OnReading(event); });
    }
    void Publish(const MeterStateEvent& event) const {
        Tell([&](EventSubscriber& s) { s.OnMeterState(event); });
    }
    void Publish(const LineStateEvent& event) const {
        Tell([&](EventSubscriber& s) { s.OnLineState(event); });
    }
    void Publish(const WriteDoneEvent& event) const {
        Tell([&](EventSubscriber& s) { s.OnWriteDone(event); });
    }

private:
    template <typename Call>
    void Tell(const Call& call) const {
        // Shared: the lines and the front ends publish at once, none waits for another.
        std::shared_lock lock(mutex_);
        for (EventSubscriber* s : subscribers_) call(*s);
    }

    mutable std::shared_mutex mutex_;
    std::vector<EventSubscriber*> subscribers_;
};

}  // namespace service
