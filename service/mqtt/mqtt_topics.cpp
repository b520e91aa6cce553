#include "service/mqtt/mqtt_topics.h"

#include <algorithm>
#include <charconv>

#include <nlohmann/json.hpp>

#include "host/client/error_outcomes.h"
#include "service/core/cell_json.h"
#include "service/core/write_outcomes.h"

namespace service {
namespace {

using Json = nlohmann::ordered_json;

// A driver's message that is not valid UTF-8 is sent with U+FFFD in place of the bad bytes
// rather than not at all.
std::string Dump(const Json& j) {
    return j.dump(-1, ' ', false, Json::error_handler_t::replace);
}

}  // namespace

std::string StatusTopic(std::string_view prefix) {
    return std::string(prefix) + "/status";
}

std::string ReadingTopic(std::string_view prefix, std::string_view line, std::int16_t station,
                         std::string_view mnemonic) {
    std::string topic(prefix);
    topic.append("/").append(line).append("/").append(std::to_string(station));
    topic.append("/").append(mnemonic);
    return topic;
}

std::string SetSubscription(std::string_view prefix) {
    return std::string(prefix) + "/+/+/+/set";
}

std::string ReadingPayload(const LiveCell& cell, bool historical) {
    Json j;
    j["value"] = cell.ok ? Json(cell.value) : Json(nullptr);
    j["quality"] = cell.quality;
    j["state"] = cell.ok ? "good" : "failed";
    j["time"] = IsoUtc(cell.utcMs);
    j["error_code"] = cell.errorCode;
    j["error"] = cell.ok ? std::string() : cell.errorText;
    j["gloss"] = cell.ok ? std::string_view() : host::Gloss(cell.errorCode);
    if (historical) j["historical"] = true;
    return Dump(j);
}

std::optional<SetTarget> ParseSetTopic(std::string_view prefix, std::string_view topic) {
    if (topic.size() <= prefix.size() || topic.substr(0, prefix.size()) != prefix ||
        topic[prefix.size()] != '/') {
        return std::nullopt;
    }
    std::string_view rest = topic.substr(prefix.size() + 1);
    std::string_view parts[4];
    for (int i = 0; i < 4; ++i) {
        const std::size_t slash = rest.find('/');
        parts[i] = rest.substr(0, slash);
        if (parts[i].empty()) return std::nullopt;
        if (i < 3) {
            if (slash == std::string_view::npos) return std::nullopt;
            rest = rest.substr(slash + 1);
        } else if (slash != std::string_view::npos) {
            return std::nullopt;
        }
    }
    if (parts[3] != "set") return std::nullopt;
    int station = 0;
    const auto [end, error] =
        std::from_chars(parts[1].data(), parts[1].data() + parts[1].size(), station);
    if (error != std::errc() || end != parts[1].data() + parts[1].size() || station < 0 ||
        station > 32767) {
        return std::nullopt;
    }
    return SetTarget{std::string(parts[0]), static_cast<std::int16_t>(station),
                     std::string(parts[2])};
}

SetRequest ParseSetPayload(std::string_view payload) {
    SetRequest request;
    const Json j = Json::parse(payload.begin(), payload.end(), nullptr, false);
    if (j.is_number()) {
        request.value = j.get<double>();
    } else if (j.is_object()) {
        if (auto id = j.find("id"); id != j.end()) request.idJson = Dump(*id);
        if (auto value = j.find("value"); value != j.end() && value->is_number()) {
            request.value = value->get<double>();
        }
    }
    return request;
}

std::string ResultTopic(std::string_view prefix, const SetTarget& target) {
    return ReadingTopic(prefix, target.line, target.station, target.mnemonic) + "/result";
}

std::string ResultPayload(const std::optional<WriteResult>& result, const SetRequest& request) {
    Json j;
    j["ok"] = result && result->outcome == WriteOutcome::kDone;
    j["outcome"] = result ? std::string(WriteOutcomeMqttText(result->outcome)) : "bad-request";
    j["value"] = result && result->sent ? Json(*result->sent) : Json(nullptr);
    j["requested"] = request.value ? Json(*request.value) : Json(nullptr);
    if (!request.idJson.empty()) j["id"] = Json::parse(request.idJson, nullptr, false);
    return Dump(j);
}

}  // namespace service
