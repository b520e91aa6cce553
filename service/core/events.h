// What happens in a running configuration, told to whoever subscribed: a new result of a polled
// register, a meter that goes silent or answers again, a line's change of state, a write done.
// The runtime owns the stream; the history and the MQTT publisher are fed by it alone, so that
// whatever one of them hears of (a lost line, say), the other hears of too.
//
// Subscribers are added before the runtime starts and live until it stopped. Events come on the
// thread that made them (a line's worker; for a write, the front end's thread that asked), after
// the live table holds what they tell: a subscriber must not block for long, and must take events
// from several threads at once.
#pragma once

#include <cstdint>
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
    // Before the runtime starts; `subscriber` must outlive every event.
    void Subscribe(EventSubscriber& subscriber) { subscribers_.push_back(&subscriber); }

    void Publish(const ReadingEvent& event) const {
        for (EventSubscriber* s : subscribers_) s->OnReading(event);
    }
    void Publish(const MeterStateEvent& event) const {
        for (EventSubscriber* s : subscribers_) s->OnMeterState(event);
    }
    void Publish(const LineStateEvent& event) const {
        for (EventSubscriber* s : subscribers_) s->OnLineState(event);
    }
    void Publish(const WriteDoneEvent& event) const {
        for (EventSubscriber* s : subscribers_) s->OnWriteDone(event);
    }

private:
    std::vector<EventSubscriber*> subscribers_;
};

}  // namespace service
