#include "service/core/line_worker.h"

#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "contract/messages.h"
#include "host/client/port_problem.h"
#include "service/core/service_log.h"

namespace service {
namespace {

using qm4720::ErrorCode;

WriteOutcome OutcomeOfWrite(const qm4720::Reading& reading) {
    if (reading.ok()) return WriteOutcome::kDone;
    switch (reading.error.code) {
        case ErrorCode::kRefused:
            return WriteOutcome::kRefusedByMeter;
        case ErrorCode::kTimeout:
        case ErrorCode::kReply:
        case ErrorCode::kOpen:
            return WriteOutcome::kNoAnswer;
        default:
            return WriteOutcome::kRefusedByDriver;  // range, format, type: before the line
    }
}

// Something came back on the line (a value, a NAK, even a garbled reply): the line is there.
bool Answered(const qm4720::Reading& reading) {
    return reading.ok() ||
           (reading.error.code != ErrorCode::kTimeout && reading.error.code != ErrorCode::kOpen);
}

// "5 s", "0.5 s", "1.25 s".
std::string Seconds(std::chrono::milliseconds wait) {
    char text[32];
    std::snprintf(text, sizeof text, "%g s", static_cast<double>(wait.count()) / 1000.0);
    return text;
}

}  // namespace

LineWorker::LineWorker(LineConfig line, std::string modulePath, LineTable& table, Backoff backoff)
    : line_(std::move(line)),
      modulePath_(std::move(modulePath)),
      table_(table),
      backoff_(backoff),
      schedule_(line_, std::chrono::steady_clock::now()),
      nextBackoff_(backoff.first) {}

LineWorker::~LineWorker() {
    Stop();
}

void LineWorker::Start() {
    thread_ = std::thread([this] { Run(); });
}

void LineWorker::RequestStop() {
    std::deque<PendingWrite> writes;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        writes.swap(writes_);
    }
    wake_.notify_all();
    for (PendingWrite& write : writes) write.done.set_value(WriteOutcome::kNoAnswer);
}

void LineWorker::Stop() {
    RequestStop();
    if (thread_.joinable()) thread_.join();
}

bool LineWorker::Stopping() {
    std::lock_guard lock(mutex_);
    return stopping_;
}

std::future<WriteOutcome> LineWorker::QueueWrite(std::int16_t station, const qm4720::Register& reg,
                                                 double value) {
    std::promise<WriteOutcome> done;
    std::future<WriteOutcome> outcome = done.get_future();
    {
        std::lock_guard lock(mutex_);
        if (stopping_) {
            done.set_value(WriteOutcome::kNoAnswer);
            return outcome;
        }
        writes_.push_back({station, reg, value, std::move(done)});
    }
    wake_.notify_all();
    return outcome;
}

bool LineWorker::WaitUntil(SteadyTime until) {
    std::unique_lock lock(mutex_);
    // In steps of a second at most, so that the heartbeat shows a waiting worker alive.
    for (;;) {
        const auto step =
            std::min(until, std::chrono::steady_clock::now() + std::chrono::seconds(1));
        if (wake_.wait_until(lock, step, [&] { return stopping_ || !writes_.empty(); })) break;
        heartbeat_ = std::chrono::steady_clock::now();
        if (step == until) break;
    }
    return !stopping_;
}

const std::string& LineWorker::ModelOf(std::int16_t station) const {
    for (const MeterConfig& meter : line_.meters) {
        if (meter.station == station) return meter.model;
    }
    static const std::string kDefault;
    return kDefault;
}

void LineWorker::UseModel(qm4720::Driver& driver, const std::string& model) const {
    // The module is the one already loaded: only the model changes, and that cannot fail.
    driver.Load(modulePath_, model);
}

void LineWorker::BridgeTo(const host::NetworkPort& network, qm4720::OpenOptions& options) {
    options.passThrough = [this, network](const std::string&, const qm4720::LineSettings& line,
                                          std::string& portName,
                                          std::string& error) -> std::shared_ptr<void> {
        host::LineSettings settings;
        settings.baud = line.baud;
        settings.dataBits = line.dataBits;
        settings.parity = static_cast<host::Parity>(line.parity);
        settings.stopBits = line.stopBits;
        // Connecting may take seconds: the worker is alive meanwhile (the health check and the
        // watchdog look at its heartbeat), and a stop ends the wait.
        std::shared_ptr<host::PortBridge> bridge =
            host::StartPortBridge(network, settings, error, [this] {
                heartbeat_ = std::chrono::steady_clock::now();
                return !Stopping();
            });
        if (bridge == nullptr) return nullptr;
        portName = bridge->PortName();
        bridge_ = bridge;
        return bridge;
    };
}

void LineWorker::LogDeviceOpened() {
    struct stat link {};
    char device[PATH_MAX];
    // A stable name (/dev/serial/by-id/...) is followed again at each open, so an adapter that
    // came back as another ttyUSB is found; the log says which one it was this time.
    if (::lstat(line_.port.c_str(), &link) == 0 && S_ISLNK(link.st_mode) &&
        ::realpath(line_.port.c_str(), device) != nullptr) {
        Log(LogLevel::kNotice, "line " + line_.name + ": " + line_.port + " is " + device);
    }
}

bool LineWorker::OpenLine(qm4720::Driver& driver) {
    qm4720::OpenOptions options{line_.settings};
    options.port = line_.port;
    options.modulePath = modulePath_;
    host::NetworkPort network;
    std::string malformed;  // refused by the configuration already
    const bool networked =
        host::ReadPortName(line_.port, network, malformed) == host::PortKind::kNetwork;
    if (networked) BridgeTo(network, options);
    if (const qm4720::Error failed = driver.Open(options)) {
        // The driver's own text when it gave one; what refused the port otherwise (for a bridge:
        // why the server could not be reached).
        const std::string& error = !failed.driverText.empty()            ? failed.driverText
                                   : networked && !failed.reason.empty() ? failed.reason
                                                                         : failed.message;
        table_.CountOpenFailure();
        // The driver says only that it failed; the system says why (of a device).
        const std::string why = networked ? std::string() : host::PortOpenProblem(line_.port);
        const std::string reason = why.empty()
                                       ? "cannot open " + line_.port + ": " + error
                                       : "cannot open " + why + " (the driver says: " + error + ")";
        if (table_.State() != LineState::kLost || table_.LostReason() != reason) {
            Log(LogLevel::kError,
                "line " + line_.name + ": " + reason + "; retrying with backoff from 1 s to 30 s");
            table_.FailAll(reason, contract::kErrorOpen, UtcNowMs());
            table_.SetState(LineState::kLost, reason);
        }
        ScheduleReopen();
        return false;
    }
    open_ = true;
    if (!networked) LogDeviceOpened();
    schedule_.RetrySilentNow(std::chrono::steady_clock::now());
    if (table_.State() == LineState::kStarting) {
        Log(LogLevel::kNotice, "line " + line_.name + ": opened " + line_.port);
        table_.SetState(LineState::kUp);
    }
    return true;
}

void LineWorker::ScheduleReopen() {
    reopenAt_ = std::chrono::steady_clock::now() + nextBackoff_;
    nextBackoff_ = std::min(nextBackoff_ * 2, backoff_.longest);
}

void LineWorker::LoseLine(qm4720::Driver& driver, const std::string& reason, std::int32_t code) {
    driver.Close();
    open_ = false;
    if (table_.State() != LineState::kLost || table_.LostReason() != "line lost: " + reason) {
        Log(LogLevel::kWarning, "line " + line_.name + ": lost (" + reason +
                                    "); reopening with backoff from 1 s to 30 s");
        table_.FailAll("line lost: " + reason, code, UtcNowMs());
        table_.SetState(LineState::kLost, "line lost: " + reason);
        nextBackoff_ = backoff_.first;
    }
    ScheduleReopen();
}

void LineWorker::RunWrites(qm4720::Driver& driver, std::deque<PendingWrite>& writes) {
    for (PendingWrite& write : writes) {
        // A write taken before the stop and not begun yet waits no longer than the queued ones.
        if (!open_ || Stopping()) {
            write.done.set_value(WriteOutcome::kNoAnswer);
            continue;
        }
        UseModel(driver, ModelOf(write.station));
        const qm4720::Reading result = driver.Write(write.station, write.reg.mnemonic, write.value);
        // Each exchange is a round: a batch of writes to a meter that does not answer may take
        // longer than a worker may go without one.
        heartbeat_ = std::chrono::steady_clock::now();
        table_.Count(result, true);
        write.done.set_value(OutcomeOfWrite(result));
        // Read the register back soon when it is polled, so the table shows the new value.
        for (std::size_t m = 0; m < line_.meters.size(); ++m) {
            const MeterConfig& meter = line_.meters[m];
            if (meter.station != write.station) continue;
            for (std::size_t p = 0; p < meter.polled.size(); ++p) {
                if (meter.polled[p].reg.index == write.reg.index) {
                    schedule_.PollSoon(m, p, std::chrono::steady_clock::now());
                }
            }
        }
    }
}

void LineWorker::TellMeterChange(std::size_t meter, MeterChange change,
                                 const qm4720::Reading& result) {
    const std::int16_t station = line_.meters[meter].station;
    const std::string who = "line " + line_.name + ": station " + std::to_string(station);
    if (change == MeterChange::kWentSilent) {
        Log(LogLevel::kWarning,
            who + " is silent (no answer to " + std::to_string(kMissesBeforeSilent) +
                " requests in a row; the driver says: " + result.error.driverText +
                "); asked again after " + Seconds(line_.silentRetryFirst) +
                ", the wait doubling up to " + Seconds(line_.silentRetryLongest) +
                " while it stays silent");
        table_.SetMeterSilent(station, true, result, UtcNowMs());
    } else if (change == MeterChange::kAnswersAgain) {
        Log(LogLevel::kNotice, who + " answers again");
        table_.SetMeterSilent(station, false, result, UtcNowMs());
    }
}

void LineWorker::Poll(qm4720::Driver& driver, DuePoll& due) {
    const MeterConfig& meter = line_.meters[due.meter];
    const PolledRegister& polled = meter.polled[due.polled];
    UseModel(driver, meter.model);
    const qm4720::Reading result = driver.Read(meter.station, polled.reg.mnemonic);
    const auto now = std::chrono::steady_clock::now();
    const std::int64_t utcMs = UtcNowMs();
    table_.StoreRead(table_.Slot(meter.station, polled.reg.index), result, utcMs, now);
    table_.Count(result, false);
    if (const std::shared_ptr<host::PortBridge> bridge = bridge_.lock()) {
        const host::BridgeTimes times = bridge->Times();
        using Ms = std::chrono::duration<double, std::milli>;
        table_.SetBridgeTimes(Ms(times.connect).count(),
                              times.lastRoundTrip ? Ms(*times.lastRoundTrip).count() : -1.0);
    }
    if (result.error.code == ErrorCode::kOpen) {
        schedule_.Advance(due, now);
        // The bridge hangs its terminal up when the server goes: that is what failed.
        const std::shared_ptr<host::PortBridge> bridge = bridge_.lock();
        LoseLine(driver,
                 bridge != nullptr && !bridge->Connected()
                     ? "the device server closed the connection"
                     : "the port failed; the driver says: " + result.error.driverText,
                 DriverCode(result.error));
        return;
    }
    const bool answered = Answered(result);
    TellMeterChange(due.meter, schedule_.Record(due, answered, now), result);
    if (answered) {
        nextBackoff_ = backoff_.first;
        if (table_.State() == LineState::kLost) {
            Log(LogLevel::kNotice,
                "line " + line_.name + ": reopened " + line_.port + ", the meters answer again");
            table_.SetState(LineState::kUp);
        }
        return;
    }
    // Lost only when every meter is silent: the silent ones coming in a row say nothing of the
    // others.
    if (schedule_.AllSilent()) LoseLine(driver, "no meter answers", DriverCode(result.error));
}

void LineWorker::Run() {
    PollUntilStopped();
    // Whatever ended the loop (Stop, or a driver that could not be created), no write waits on
    // this thread any more: the queued ones, and every one queued later, are answered kNoAnswer
    // at once, so that a Modbus client blocked in a write is never left waiting for a dead line.
    std::lock_guard lock(mutex_);
    stopping_ = true;
    for (PendingWrite& write : writes_) write.done.set_value(WriteOutcome::kNoAnswer);
    writes_.clear();
}

void LineWorker::PollUntilStopped() {
    qm4720::Driver driver;
    if (const qm4720::Error failed = driver.Load(modulePath_, "")) {
        const std::string& error = failed.driverText;
        Log(LogLevel::kError, "line " + line_.name + ": cannot create the driver: " + error);
        table_.SetState(LineState::kLost, "cannot create the driver: " + error);
        return;
    }
    for (;;) {
        heartbeat_ = std::chrono::steady_clock::now();
        {
            std::lock_guard lock(mutex_);
            if (stopping_) break;
        }
        if (!open_) {
            if (std::chrono::steady_clock::now() >= reopenAt_ && OpenLine(driver)) continue;
            // Closed until the next attempt: writes queued meanwhile are answered at once, and
            // they do not bring the attempt forward.
            if (!WaitUntil(reopenAt_)) break;
            std::deque<PendingWrite> writes;
            {
                std::lock_guard lock(mutex_);
                writes.swap(writes_);
            }
            RunWrites(driver, writes);
            continue;
        }
        std::deque<PendingWrite> writes;
        {
            std::lock_guard lock(mutex_);
            writes.swap(writes_);
        }
        if (!writes.empty()) {
            RunWrites(driver, writes);
            continue;
        }
        if (schedule_.Empty()) {
            if (!WaitUntil(std::chrono::steady_clock::now() + std::chrono::hours(1))) break;
            continue;
        }
        SteadyTime wake{};
        DuePoll* next = schedule_.Next(std::chrono::steady_clock::now(), wake);
        if (next == nullptr) {
            if (!WaitUntil(wake)) break;
            continue;
        }
        Poll(driver, *next);
    }
    driver.Close();
}

}  // namespace service
