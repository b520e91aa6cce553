#include "service/core/forward_config.h"

#include "service/core/config_section.h"

namespace service {

MqttReplayConfig ReadMqttReplay(const Section& mqtt) {
    MqttReplayConfig r;
    r.rate = static_cast<std::uint32_t>(mqtt.Integer("replay_rate", r.rate, 10, 1'000'000));
    r.maxAge = std::chrono::seconds(mqtt.Integer("replay_max_age_s", 0, 0, 10LL * 365 * 86400));
    return r;
}

}  // namespace service
