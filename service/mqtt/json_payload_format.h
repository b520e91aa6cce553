// The JSON payload of qm4720d's MQTT output (topics and payloads in mqtt_topics.h): every new
// reading retained under PREFIX/LINE/STATION/REGISTER, PREFIX/status online/offline, writes on
// .../set answered on .../result.
#pragma once

#include "service/mqtt/mqtt_payload_format.h"

namespace service {

class JsonPayloadFormat final : public MqttPayloadFormat {
public:
    explicit JsonPayloadFormat(const MqttConfig& mqtt) : mqtt_(mqtt) {}

    OutgoingMessage Will() override;
    std::vector<std::string> Subscriptions() const override;
    MqttCommand Parse(std::string_view topic, std::string_view payload, bool retain) const override;
    std::optional<OutgoingMessage> Answer(const MqttWrite& write,
                                          const std::optional<WriteResult>& result) const override;
    void Connected(std::vector<OutgoingMessage>& out) override;
    void Reading(std::string_view line, const LiveCell& cell,
                 std::vector<OutgoingMessage>& out) override;
    void Command(const MqttCommand&, std::vector<OutgoingMessage>&) override {}
    void Historical(std::string_view line, const LiveCell& cell,
                    std::vector<OutgoingMessage>& out) override;
    OutgoingMessage Goodbye() override;

private:
    MqttConfig mqtt_;
};

}  // namespace service
