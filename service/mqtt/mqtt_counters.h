// What the MQTT publisher of qm4720d has done since it started, for /metrics.
#pragma once

#include <cstdint>

namespace service {

struct MqttCounters {
    bool connected = false;
    // Messages handed to the broker's connection, apart from what each connection says first
    // (the status, Sparkplug's births).
    std::uint64_t published = 0;
    std::uint64_t dropped = 0;     // the oldest queued messages dropped while the broker was away
    std::uint64_t queued = 0;      // messages waiting now
    std::uint64_t reconnects = 0;  // connections made again after one was lost
    std::uint64_t writes = 0;      // .../set messages taken
    std::uint64_t replayed = 0;    // readings of the history sent again after an outage
    std::uint64_t replaySkipped = 0;  // readings older than replay_max_age_s not sent again
};

}  // namespace service
