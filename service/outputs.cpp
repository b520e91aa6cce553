#include "service/outputs.h"

#include "service/history/history_output.h"
#include "service/http/http_server.h"
#include "service/modbus/modbus_listeners.h"
#include "service/mqtt/mqtt_output.h"

namespace service {

void AddOutputs(ServiceRuntime& runtime, const ServiceConfig& config,
                const std::shared_ptr<HistoryWriter>& history) {
    // Always there, so that the live JSON says when no history is kept.
    runtime.AddOutput(std::make_unique<HistoryOutput>(history));
    runtime.AddOutput(std::make_unique<ModbusListeners>());
    if (config.http.port != 0) runtime.AddOutput(std::make_unique<HttpServer>(config.http));
    if (!config.mqtt.host.empty()) runtime.AddOutput(std::make_unique<MqttOutput>(config));
}

}  // namespace service
