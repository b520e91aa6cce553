#include "service/mqtt/json_payload_format.h"

#include "service/core/service_log.h"
#include "service/mqtt/sparkplug_format.h"

namespace service {

OutgoingMessage JsonPayloadFormat::Will() {
    return {StatusTopic(mqtt_.prefix), "offline", true};
}

std::vector<std::string> JsonPayloadFormat::Subscriptions() const {
    if (!mqtt_.writes) return {};
    return {SetSubscription(mqtt_.prefix)};
}

MqttCommand JsonPayloadFormat::Parse(std::string_view topic, std::string_view payload,
                                     bool retain) const {
    MqttCommand command;
    // A retained .../set comes again with every new subscription (each start, each reload): a
    // command of the past, never acted on again. An empty one is how a retained one is cleared.
    if (!mqtt_.writes || payload.empty()) return command;
    if (retain) {
        Log(LogLevel::kWarning,
            "MQTT: a retained write on " + std::string(topic) + " is not acted on");
        return command;
    }
    std::optional<SetTarget> target = ParseSetTopic(mqtt_.prefix, topic);
    if (target) command.writes.push_back({std::move(*target), ParseSetPayload(payload)});
    return command;
}

std::optional<OutgoingMessage> JsonPayloadFormat::Answer(
    const MqttWrite& write, const std::optional<WriteResult>& result) const {
    return OutgoingMessage{ResultTopic(mqtt_.prefix, write.target),
                           ResultPayload(result, write.request), false};
}

void JsonPayloadFormat::Connected(std::vector<OutgoingMessage>& out) {
    out.push_back({StatusTopic(mqtt_.prefix), "online", true, true});
}

void JsonPayloadFormat::Reading(std::string_view line, const LiveCell& cell,
                                std::vector<OutgoingMessage>& out) {
    out.push_back({ReadingTopic(mqtt_.prefix, line, cell.station, cell.mnemonic),
                   ReadingPayload(cell), true});
}

void JsonPayloadFormat::Historical(std::string_view line, const LiveCell& cell,
                                   std::vector<OutgoingMessage>& out) {
    // Not retained: the retained message stays the latest live reading.
    out.push_back({ReadingTopic(mqtt_.prefix, line, cell.station, cell.mnemonic),
                   ReadingPayload(cell, true), false});
}

OutgoingMessage JsonPayloadFormat::Goodbye() {
    return Will();
}

std::unique_ptr<MqttPayloadFormat> MakePayloadFormat(const ServiceConfig& config) {
    if (config.mqtt.sparkplug.enabled) return std::make_unique<SparkplugFormat>(config);
    return std::make_unique<JsonPayloadFormat>(config.mqtt);
}

}  // namespace service
