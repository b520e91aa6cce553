#include "service/mqtt/mqtt_output.h"

#include "service/core/metrics_format.h"
#include "service/core/service_runtime.h"

namespace service {

bool MqttOutput::Start(ServiceRuntime& runtime, std::string& /*error*/) {
    runtime.events().Subscribe(*this);
    publisher_->Start();
    publisher_->StartWrites(runtime);
    return true;
}

void MqttOutput::Stop() {
    publisher_->StopWrites();
}

void MqttOutput::OnReading(const ReadingEvent& event) {
    publisher_->Publish(event.line, event.cell);
}

void MqttOutput::AppendMetrics(std::string& out) const {
    AppendMqttMetrics(out, publisher_->Counters());
}

void AppendMqttMetrics(std::string& out, const MqttCounters& c) {
    using metrics::Family;
    using metrics::Sample;
    Family(out, "qm4720_mqtt_connected", "gauge", "1 while connected to the MQTT broker, else 0.");
    Sample(out, "qm4720_mqtt_connected", "", c.connected ? 1.0 : 0.0);
    Family(out, "qm4720_mqtt_messages_published_total", "counter",
           "Messages handed to the broker's connection.");
    Sample(out, "qm4720_mqtt_messages_published_total", "", c.published);
    Family(out, "qm4720_mqtt_messages_dropped_total", "counter",
           "Queued messages dropped, oldest first, while the broker was away.");
    Sample(out, "qm4720_mqtt_messages_dropped_total", "", c.dropped);
    Family(out, "qm4720_mqtt_messages_queued", "gauge", "Messages waiting for the broker now.");
    Sample(out, "qm4720_mqtt_messages_queued", "", c.queued);
    Family(out, "qm4720_mqtt_reconnects_total", "counter",
           "Connections to the broker made again after one was lost.");
    Sample(out, "qm4720_mqtt_reconnects_total", "", c.reconnects);
    Family(out, "qm4720_mqtt_writes_total", "counter", "Writes taken from .../set topics.");
    Sample(out, "qm4720_mqtt_writes_total", "", c.writes);
    Family(out, "qm4720_mqtt_replayed_total", "counter",
           "Readings of the history sent again, marked historical, after the broker missed them.");
    Sample(out, "qm4720_mqtt_replayed_total", "", c.replayed);
    Family(out, "qm4720_mqtt_replay_skipped_total", "counter",
           "Readings the broker missed that were older than replay_max_age_s, not sent again.");
    Sample(out, "qm4720_mqtt_replay_skipped_total", "", c.replaySkipped);
}

}  // namespace service
