// The MQTT publisher as an output of qm4720d: every reading the runtime's events tell of (a poll,
// a silent meter, a lost line) published, writes from .../set taken when [mqtt] allows them, and
// its counters in /metrics.
#pragma once

#include <memory>
#include <string>

#include "service/core/events.h"
#include "service/core/output.h"
#include "service/core/service_config.h"
#include "service/mqtt/mqtt_publisher.h"

namespace service {

// The publisher's families of /metrics (qm4720_mqtt_...), appended to `text`.
void AppendMqttMetrics(std::string& text, const MqttCounters& counters);

class MqttOutput final : public Output, public EventSubscriber {
public:
    explicit MqttOutput(const ServiceConfig& config)
        : publisher_(std::make_unique<MqttPublisher>(config)) {}

    // Connects in the background (a broker that is away is retried, readings queue meanwhile)
    // and takes writes to `runtime`'s gateways; never fails.
    bool Start(ServiceRuntime& runtime, std::string& error) override;
    // Takes no more writes, waiting for one in progress. The broker is told "offline" (or, with
    // Sparkplug B, NDEATH) when the output is dropped, after the last reading.
    void Stop() override;
    void AppendMetrics(std::string& text) const override;

    void OnReading(const ReadingEvent& event) override;

private:
    std::unique_ptr<MqttPublisher> publisher_;
};

}  // namespace service
