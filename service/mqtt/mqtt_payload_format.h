// The seam between qm4720d's MQTT connection (mqtt_publisher.*) and what it says on it: the
// topics and payloads of JSON (json_payload_format.*) or of Sparkplug B (sparkplug_format.*).
//
// The publisher calls Will and Parse on its network thread, Answer on its write thread, and the
// rest on its sender thread alone, in the order the messages are sent: a format keeps its state
// (Sparkplug's sequence numbers, which devices are alive) without a lock of its own.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "service/core/live_cell.h"
#include "service/core/meter_gateway.h"
#include "service/core/service_config.h"
#include "service/mqtt/mqtt_topics.h"

namespace service {

struct OutgoingMessage {
    std::string topic;
    std::string payload;
    bool retain = false;
    // Only for the connection it was made for: dropped, not kept, when that one is lost before
    // it went out (the next connection says its own).
    bool ofSession = false;
};

// A write asked for over MQTT.
struct MqttWrite {
    SetTarget target;
    SetRequest request;
};

// What a message from the broker asks of the publisher.
struct MqttCommand {
    std::vector<MqttWrite> writes;
    bool rebirth = false;            // every birth again
    std::optional<bool> hostOnline;  // the primary host said it is online, or offline
};

class MqttPayloadFormat {
public:
    virtual ~MqttPayloadFormat() = default;

    // The last will for the next connection attempt.
    virtual OutgoingMessage Will() = 0;
    // What to subscribe to on each connection.
    virtual std::vector<std::string> Subscriptions() const = 0;
    // What a message on a subscribed topic asks; `retain` as the broker marked it.
    virtual MqttCommand Parse(std::string_view topic, std::string_view payload,
                              bool retain) const = 0;
    // The answer to a write, if the format has one; nullopt `result` for a request that could
    // not be read.
    virtual std::optional<OutgoingMessage> Answer(
        const MqttWrite& write, const std::optional<WriteResult>& result) const = 0;

    // Sender thread, in order. A new connection is up: what comes first on it.
    virtual void Connected(std::vector<OutgoingMessage>& out) = 0;
    // A new reading of `line`'s cell.
    virtual void Reading(std::string_view line, const LiveCell& cell,
                         std::vector<OutgoingMessage>& out) = 0;
    // A reading of the history the broker missed, sent again after an outage; nothing when the
    // format cannot mark a reading as historical.
    virtual void Historical(std::string_view /*line*/, const LiveCell& /*cell*/,
                            std::vector<OutgoingMessage>& /*out*/) {}
    virtual void Command(const MqttCommand& command, std::vector<OutgoingMessage>& out) = 0;
    // What a clean stop says before it disconnects.
    virtual OutgoingMessage Goodbye() = 0;
};

// JSON or Sparkplug B, as `config.mqtt` says.
std::unique_ptr<MqttPayloadFormat> MakePayloadFormat(const ServiceConfig& config);

}  // namespace service
