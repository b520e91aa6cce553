// [mqtt]'s sending again, from the history, of the readings the broker missed: read apart from
// the rest of [mqtt].
#pragma once

#include <chrono>
#include <cstdint>

namespace service {

class Section;

struct MqttReplayConfig {
    // Readings of the history sent per second at most, and only while no live one waits.
    std::uint32_t rate = 2000;
    // Readings older than this are not sent again but counted as skipped; 0: as far back as the
    // history keeps.
    std::chrono::seconds maxAge{0};
};

// Reads [mqtt]'s replay_rate and replay_max_age_s; throws the Section's refusal when out of range.
MqttReplayConfig ReadMqttReplay(const Section& mqtt);

}  // namespace service
