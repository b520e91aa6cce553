// The worker of one serial line: a thread that owns the line's Driver, polls the line's
// registers by their intervals (in the order of poll_schedule.h), performs the writes queued from
// other threads before the next poll, and puts every result into the line's live table (which
// tells the runtime's events). A meter that stops answering is asked again at its own backoff while
// the others keep their intervals. A line that cannot be opened, or on which no meter answers any
// more, is closed and reopened with a backoff from 1 s doubling to 30 s. The log says each change
// of state of the line and of each meter once.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <future>
#include <memory>
#include <mutex>
#include <thread>

#include "host/oskit/bridge/port_bridge.h"
#include "service/core/live_table.h"
#include "service/core/meter_gateway.h"
#include "service/core/poll_schedule.h"
#include "service/core/service_config.h"
#include "qm4720/qm4720.hpp"

namespace service {

struct Backoff {
    std::chrono::milliseconds first{1000};
    std::chrono::milliseconds longest{30000};
};

class LineWorker {
public:
    // `table` must outlive the worker; every result goes into it, and from it to the events.
    // `modulePath` is the driver module the worker loads ("" the one beside the program).
    LineWorker(LineConfig line, std::string modulePath, LineTable& table, Backoff backoff = {});
    // Stops the thread (Stop).
    ~LineWorker();
    LineWorker(const LineWorker&) = delete;
    LineWorker& operator=(const LineWorker&) = delete;

    void Start();
    // No exchange starts any more: the one in progress finishes, every queued write (and every
    // one queued later) is answered kNoAnswer. Returns at once; any thread.
    void RequestStop();
    // RequestStop, then joins the thread. Safe to call twice.
    void Stop();

    // Queues a write of `reg` of `station` for the worker; the future is set once the meter
    // answered or the exchange failed. Any thread.
    std::future<WriteOutcome> QueueWrite(std::int16_t station, const qm4720::Register& reg,
                                         double value);

    const LineConfig& config() const { return line_; }

    // When the worker's loop last came round: at least once a second while it waits, and after
    // every exchange. Any thread.
    SteadyTime Heartbeat() const { return heartbeat_.load(); }

private:
    struct PendingWrite {
        std::int16_t station;
        qm4720::Register reg;
        double value;
        std::promise<WriteOutcome> done;
    };
    void Run();
    bool Stopping();
    void PollUntilStopped();
    bool OpenLine(qm4720::Driver& driver);
    // What the driver opens for a line through a device server: the bridge's terminal.
    void BridgeTo(const host::NetworkPort& network, qm4720::OpenOptions& options);
    // The device that the line's port names now, logged at each open when the port is a link.
    void LogDeviceOpened();
    // The next attempt to open after the current backoff, which then doubles (up to the longest).
    void ScheduleReopen();
    void LoseLine(qm4720::Driver& driver, const std::string& reason, std::int32_t code);
    void RunWrites(qm4720::Driver& driver, std::deque<PendingWrite>& writes);
    void Poll(qm4720::Driver& driver, DuePoll& due);
    // Logs `change` of `meter` and shows it in the table; `result` is the exchange that made it.
    void TellMeterChange(std::size_t meter, MeterChange change, const qm4720::Reading& result);
    // Sleeps until `until`, a queued write or Stop, whichever comes first; false on Stop.
    bool WaitUntil(SteadyTime until);
    const std::string& ModelOf(std::int16_t station) const;
    // Makes `model` the one of the driver's next exchange (the module is loaded already).
    void UseModel(qm4720::Driver& driver, const std::string& model) const;

    LineConfig line_;
    std::string modulePath_;
    LineTable& table_;
    Backoff backoff_;
    std::thread thread_;

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<PendingWrite> writes_;
    bool stopping_ = false;
    std::atomic<SteadyTime> heartbeat_{std::chrono::steady_clock::now()};

    // The worker thread's own state.
    PollSchedule schedule_;
    bool open_ = false;
    std::chrono::milliseconds nextBackoff_{0};
    SteadyTime reopenAt_{};  // while closed: when to try to open again
    // The open line's bridge, when it goes through a device server; the driver holds it.
    std::weak_ptr<host::PortBridge> bridge_;
};

}  // namespace service
