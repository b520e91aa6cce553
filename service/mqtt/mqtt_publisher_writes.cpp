// The write side of qm4720d's MQTT publisher: writes asked for on the broker, done one at a time on
// a thread of ours (MeterGateway::Write blocks until the meter answered) under the rule of every
// front end, and answered as the payload's format says.
#include <chrono>
#include <utility>

#include "service/core/line_gateway.h"
#include "service/core/service_log.h"
#include "service/core/service_runtime.h"
#include "service/mqtt/mqtt_publisher.h"

namespace service {
namespace {

// Writes waiting for the write thread; more are answered no-answer at once.
constexpr std::size_t kWriteQueueLimit = 64;
// How often a flood of writes answered at once is said in the log, with their count.
constexpr std::chrono::seconds kOverflowReport{1};

}  // namespace

void MqttPublisher::TakeWrite(MqttWrite write) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++counters_.writes;
    }
    {
        std::lock_guard<std::mutex> lock(writeMutex_);
        if (writes_.size() < kWriteQueueLimit) {
            writes_.push_back(std::move(write));
            writeWake_.notify_all();
            return;
        }
        // Said by the write thread once a second with a count, not once per message of a flood.
        ++overflowed_;
    }
    EnqueueResult(write, WriteResult{WriteOutcome::kNoAnswer, std::nullopt});
}

void MqttPublisher::StartWrites(ServiceRuntime& runtime) {
    if (!config_.mqtt.writes) return;
    {
        std::lock_guard<std::mutex> lock(writeMutex_);
        runtime_ = &runtime;
    }
    writer_ = std::thread([this] { WriteLoop(); });
}

void MqttPublisher::StopWrites() {
    {
        std::lock_guard<std::mutex> lock(writeMutex_);
        writesStopping_ = true;
    }
    writeWake_.notify_all();
    if (writer_.joinable()) writer_.join();
    std::lock_guard<std::mutex> lock(writeMutex_);
    runtime_ = nullptr;
}

void MqttPublisher::WriteLoop() {
    std::unique_lock<std::mutex> lock(writeMutex_);
    auto saidAt = std::chrono::steady_clock::now();
    for (;;) {
        // Wakes at least once a second to say how many writes a flood had answered at once.
        writeWake_.wait_for(lock, kOverflowReport,
                            [&] { return writesStopping_ || !writes_.empty(); });
        const auto now = std::chrono::steady_clock::now();
        if (overflowed_ > 0 && (writesStopping_ || now - saidAt >= kOverflowReport)) {
            Log(LogLevel::kWarning, "MQTT: " + std::to_string(overflowed_) +
                                        " write(s) answered no-answer at once since the last "
                                        "report: more than " +
                                        std::to_string(kWriteQueueLimit) + " were waiting");
            overflowed_ = 0;
            saidAt = now;
        }
        if (writesStopping_) return;
        if (writes_.empty()) continue;
        WriteRequest write = std::move(writes_.front());
        writes_.pop_front();
        lock.unlock();
        const std::optional<WriteResult> result =
            write.request.value ? std::optional(Write(write)) : std::nullopt;
        EnqueueResult(write, result);
        lock.lock();
    }
}

WriteResult MqttPublisher::Write(const WriteRequest& write) {
    // MQTT does not tell who published: the request's own id is what there is to go by.
    const std::string who =
        "MQTT" + (write.request.idJson.empty() ? "" : " id " + write.request.idJson);
    // Only what the configuration names writable on that meter; the gateway checks the rest.
    const WritableRegister target =
        runtime_->FindWritable(write.target.line, write.target.station, write.target.mnemonic);
    if (target.reg == nullptr) {
        const WriteResult refused{WriteOutcome::kNotWritable, std::nullopt};
        LogWrite(who, write.target.line, write.target.station, write.target.mnemonic,
                 *write.request.value, refused, "not configured writable");
        return refused;
    }
    return runtime_->Gateway(target.line)
        .Write(write.target.station, target.reg->index, *write.request.value, who);
}

}  // namespace service
