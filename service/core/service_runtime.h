// One running configuration of qm4720d: the live table, a worker and a gateway per line, and the
// history they write to. A reload builds a new one from the new file and drops the old one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "service/history/history_writer.h"
#include "service/core/line_gateway.h"
#include "service/core/line_worker.h"
#include "service/core/live_table.h"
#include "service/core/service_config.h"

namespace service {

// Where a write named by line, station and register goes: each level found, or null / npos from
// the first that is not. `reg` is set only for a register the meter's configuration lists as
// writable.
struct WritableRegister {
    std::size_t line = static_cast<std::size_t>(-1);  // index in the configuration's lines
    const MeterConfig* meter = nullptr;
    const host::RegisterRef* reg = nullptr;
};

class ServiceRuntime {
public:
    // Starts every line's worker at once, unless `start` is false: then Start does, once what
    // must come first (the Modbus listeners) is in place. `history` may be null (none kept).
    // `listener`, when set, is told of every new result of every line (LineTable::SetListener);
    // it must outlive the runtime.
    ServiceRuntime(const ServiceConfig& config, const host::ModuleChoice& module,
                   std::shared_ptr<HistoryWriter> history, Backoff backoff = {}, bool start = true,
                   CellListener listener = {});
    // Stops the workers (each finishes its exchange in progress) and commits the history.
    ~ServiceRuntime();
    ServiceRuntime(const ServiceRuntime&) = delete;
    ServiceRuntime& operator=(const ServiceRuntime&) = delete;

    // Starts the workers of a runtime made with `start` false; once only.
    void Start();
    // Tells every line to start no exchange any more and answers their queued writes kNoAnswer,
    // without waiting: called first in a stop, so that whoever waits for a write in progress
    // waits for that exchange alone, never for the next ones on its line.
    void RequestStop();

    const ServiceConfig& config() const { return config_; }
    const LiveTable& live() const { return live_; }
    // The gateway of line `i` in the configuration's order.
    MeterGateway& Gateway(std::size_t i) { return *gateways_[i]; }
    const std::shared_ptr<HistoryWriter>& history() const { return history_; }

    // `mnemonic` of `station` on the line named `line`, as the configuration names them, for the
    // writes that come by name (HTTP, MQTT).
    WritableRegister FindWritable(std::string_view line, std::int16_t station,
                                  std::string_view mnemonic) const;

    // True when every line's worker came round within `limit` (for systemd's watchdog: a worker
    // stuck in a call that never returns stops the pings).
    bool Alive(std::chrono::milliseconds limit) const;

private:
    ServiceConfig config_;
    LiveTable live_;
    std::shared_ptr<HistoryWriter> history_;
    std::vector<std::unique_ptr<LineWorker>> workers_;
    std::vector<std::unique_ptr<LineGateway>> gateways_;
};

}  // namespace service
