#include "service/core/service_runtime.h"

namespace service {

ServiceRuntime::ServiceRuntime(const ServiceConfig& config, const host::ModuleChoice& module,
                               std::shared_ptr<HistoryWriter> history, Backoff backoff, bool start,
                               CellListener listener)
    : config_(config), live_(config_), history_(std::move(history)) {
    if (listener) {
        for (const auto& line : live_.Lines()) line->SetListener(listener);
    }
    for (std::size_t i = 0; i < config_.lines.size(); ++i) {
        workers_.push_back(std::make_unique<LineWorker>(config_.lines[i], module, *live_.Lines()[i],
                                                        history_.get(), backoff));
        gateways_.push_back(std::make_unique<LineGateway>(*live_.Lines()[i], *workers_.back()));
    }
    if (start) Start();
}

void ServiceRuntime::Start() {
    for (auto& worker : workers_) worker->Start();
}

void ServiceRuntime::RequestStop() {
    for (auto& worker : workers_) worker->RequestStop();
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
            for (const host::RegisterRef& reg : meter.writable) {
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
    // Every line is told at once, so that the slowest exchange in progress bounds the stop.
    RequestStop();
    for (auto& worker : workers_) worker->Stop();
    if (history_ != nullptr) history_->Flush();
}

}  // namespace service
