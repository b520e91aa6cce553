// The outputs of qm4720d, listed once: what a configuration serves its lines through.
#pragma once

#include <memory>

#include "service/core/service_config.h"
#include "service/core/service_runtime.h"
#include "service/history/history_writer.h"

namespace service {

// Adds to `runtime` every output that `config` asks for, in the order they start: the history
// (`history` may be null: none kept), the Modbus listeners, the HTTP server, the MQTT publisher.
// The broker hears of a configuration only once its listeners are in place.
void AddOutputs(ServiceRuntime& runtime, const ServiceConfig& config,
                const std::shared_ptr<HistoryWriter>& history);

}  // namespace service
