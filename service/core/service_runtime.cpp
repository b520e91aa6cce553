#include "service/core/service_runtime.h"

namespace service {

ServiceRuntime::ServiceRuntime(const ServiceConfig& config, const std::string& modulePath,
                               Backoff backoff)
    : config_(config), modulePath_(modulePath), live_(config_) {
    for (std::size_t i = 0; i < config_.lines.size(); ++i) {
        LineTable& table = *live_.Lines()[i];
        table.SetEvents(events_);
        workers_.push_back(
            std::make_unique<LineWorker>(config_.lines[i], modulePath, table, backoff));
        gateways_.push_back(std::make_unique<LineGateway>(table, *workers_.back()));
    }
}

void ServiceRuntime::AddOutput(std::unique_ptr<Output> output) {
    outputs_.push_back(std::move(output));
}

bool ServiceRuntime::Start(std::string& error) {
    startedAt_ = std::chrono::steady_clock::now();
    for (; started_ < outputs_.size(); ++started_) {
        if (!outputs_[started_]->Start(*this, error)) {
            // A write taken by an output already started waits for no line that never runs.
            RequestStop();
            StopOutputs(started_);
            return false;
        }
    }
    for (auto& worker : workers_) worker->Start();
    return true;
}

void ServiceRuntime::RequestStop() {
    for (auto& worker : workers_) worker->RequestStop();
}

void ServiceRuntime::Stop() {
    // Every line is told at once, so that the slowest exchange in progress bounds the stop.
    RequestStop();
    for (auto& worker : workers_) worker->Stop();
    // No line makes an event any more; the outputs still take what their own requests bring
    // (every write now answered at once) until they stopped.
    StopOutputs(started_);
}

void ServiceRuntime::StopOutputs(std::size_t started) {
    for (std::size_t i = started; i > 0; --i) outputs_[i - 1]->Stop();
    // Dropped only once all stopped: a later one may still hand an event to an earlier one.
    events_.UnsubscribeAll();
    while (!outputs_.empty()) outputs_.pop_back();
    started_ = 0;
}

WritableRegister ServiceRuntime::FindWritable(std::string_view line, std::int16_t station,
                                              std::string_view mnemonic) const {
    WritableRegister found;
    for (std::size_t i = 0; i < config_.lines.size(); ++i) {
        if (config_.lines[i].name != line) continue;
        found.line = i;
        for (const MeterConfig& meter : config_.lines[i].meters) {
            if (meter.station != station) continue;
            found.meter = &meter;
            for (const qm4720::Register& reg : meter.writable) {
                if (reg.mnemonic != mnemonic) continue;
                found.reg = &reg;
                return found;
            }
            return found;
        }
        return found;
    }
    return found;
}

bool ServiceRuntime::Alive(std::chrono::milliseconds limit) const {
    const auto now = std::chrono::steady_clock::now();
    for (const auto& worker : workers_) {
        if (now - worker->Heartbeat() > limit) return false;
    }
    return true;
}

ServiceRuntime::~ServiceRuntime() {
    Stop();
}

}  // namespace service
