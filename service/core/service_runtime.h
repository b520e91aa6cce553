// One running configuration of qm4720d: the live table, a worker and a gateway per line, the
// events they make, and the outputs that serve them. A reload builds a new one from the new file
// and drops the old one.
//
// The order of a start and of a stop is here, and only here: the outputs start in the order they
// were added (outputs.cpp lists them), then the lines; a stop tells the lines first, joins them,
// then stops the outputs in reverse and drops them in reverse.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "service/core/events.h"
#include "service/core/line_gateway.h"
#include "service/core/line_worker.h"
#include "service/core/live_table.h"
#include "service/core/output.h"
#include "service/core/service_config.h"

namespace service {

// Where a write named by line, station and register goes: each level found, or null / npos from
// the first that is not. `reg` is set only for a register the meter's configuration lists as
// writable.
struct WritableRegister {
    std::size_t line = static_cast<std::size_t>(-1);  // index in the configuration's lines
    const MeterConfig* meter = nullptr;
    const qm4720::Register* reg = nullptr;
};

class ServiceRuntime {
public:
    // Makes the lines of `config`; nothing runs before Start.
    // `modulePath` is the driver module each line loads ("" the one beside the program).
    ServiceRuntime(const ServiceConfig& config, const std::string& modulePath,
                   Backoff backoff = {});
    // Stop.
    ~ServiceRuntime();
    ServiceRuntime(const ServiceRuntime&) = delete;
    ServiceRuntime& operator=(const ServiceRuntime&) = delete;

    // Before Start: the runtime starts `output` after those added before it.
    void AddOutput(std::unique_ptr<Output> output);
    // Starts every output in order, then every line's worker at once; once only. False with
    // `error` set when an output cannot start: the ones started before it are stopped and
    // dropped, and no line is started (a configuration whose port is taken never opens its
    // serial lines or writes history).
    bool Start(std::string& error);
    // Tells every line to start no exchange any more and answers their queued writes kNoAnswer,
    // without waiting: the first step of Stop, so that whoever waits for a write in progress
    // waits for that exchange alone, never for the next ones on its line.
    void RequestStop();
    // The lines (each finishes its exchange in progress), then the outputs in reverse.
    // Idempotent.
    void Stop();

    const ServiceConfig& config() const { return config_; }
    const std::string& modulePath() const { return modulePath_; }
    const LiveTable& live() const { return live_; }
    // Subscribed to by the outputs in their Start.
    EventStream& events() { return events_; }
    // The outputs, in the order they start: for /metrics and the live JSON, which show what each
    // adds of itself.
    const std::vector<std::unique_ptr<Output>>& outputs() const { return outputs_; }
    // The gateway of line `i` in the configuration's order.
    MeterGateway& Gateway(std::size_t i) { return *gateways_[i]; }

    // `mnemonic` of `station` on the line named `line`, as the configuration names them, for the
    // writes that come by name (HTTP, MQTT).
    WritableRegister FindWritable(std::string_view line, std::int16_t station,
                                  std::string_view mnemonic) const;

    // True when every line's worker came round within `limit` (for systemd's watchdog: a worker
    // stuck in a call that never returns stops the pings).
    bool Alive(std::chrono::milliseconds limit) const;
    // When the worker of line `i` last came round.
    SteadyTime Heartbeat(std::size_t i) const { return workers_[i]->Heartbeat(); }
    // When Start began (construction until then): what a register not answered yet is measured
    // from.
    SteadyTime startedAt() const { return startedAt_; }

private:
    // Stops and drops the outputs from the last started one back to the first.
    void StopOutputs(std::size_t started);

    ServiceConfig config_;
    std::string modulePath_;
    EventStream events_;
    LiveTable live_;
    std::vector<std::unique_ptr<LineWorker>> workers_;
    std::vector<std::unique_ptr<LineGateway>> gateways_;
    std::vector<std::unique_ptr<Output>> outputs_;
    std::size_t started_ = 0;  // outputs started, from the first
    SteadyTime startedAt_ = std::chrono::steady_clock::now();
};

}  // namespace service
