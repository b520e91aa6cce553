// The topics and payloads of qm4720d's MQTT publisher, apart from the connection so that they can
// be checked without a broker:
//
//   PREFIX/status                          "online" (retained on each connect), "offline" (the
//                                          last will, and on a clean stop)
//   PREFIX/LINE/STATION/REGISTER           every new reading, retained:
//       {"value": 21.5, "quality": 192, "state": "good", "time": "2026-12-08T15:40:00.123Z",
//        "error_code": -1, "error": "", "gloss": ""}
//     "state" is "good" or "failed"; "value" is null for a failed reading (the latest good value
//     is never sent as if it were the reading), "error" the driver's message in UTF-8 and "gloss"
//     its English meaning.
//   PREFIX/LINE/STATION/REGISTER/set       a write: the value as a number ("12.5"), or
//                                          {"value": 12.5, "id": "any JSON value"}
//   PREFIX/LINE/STATION/REGISTER/result    its answer, not retained:
//       {"ok": true, "outcome": "done", "value": 12.5, "requested": 12.5, "id": "..."}
//     "outcome": done, not-writable, refused-by-driver, refused-by-meter, no-answer, bad-request;
//     "value" is what the meter was sent (42.123 for 42.123456 to a FLOAT; null when nothing
//     was), "requested" the value asked.
//
// REGISTER is the register's mnemonic as the configuration names it; STATION is decimal.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "service/core/live_table.h"
#include "service/core/meter_gateway.h"

namespace service {

std::string StatusTopic(std::string_view prefix);
std::string ReadingTopic(std::string_view prefix, std::string_view line, std::int16_t station,
                         std::string_view mnemonic);
// The subscription that takes every .../set under `prefix`.
std::string SetSubscription(std::string_view prefix);

// `historical`: a reading of the history sent again after an outage, said so in the payload.
std::string ReadingPayload(const LiveCell& cell, bool historical = false);

// Where a .../set message is aimed.
struct SetTarget {
    std::string line;
    std::int16_t station = 0;
    std::string mnemonic;
};

// The target of `topic`, or nullopt when it is not PREFIX/LINE/STATION/REGISTER/set with a
// station of 0 to 32767.
std::optional<SetTarget> ParseSetTopic(std::string_view prefix, std::string_view topic);

struct SetRequest {
    std::optional<double> value;  // nullopt: the payload is neither a number nor {"value": n}
    std::string idJson;           // the request's "id" as JSON text, "" when it has none
};

SetRequest ParseSetPayload(std::string_view payload);

// The result topic of a write to `target`.
std::string ResultTopic(std::string_view prefix, const SetTarget& target);

// What a write came to; nullopt `result` for a request that could not be read.
std::string ResultPayload(const std::optional<WriteResult>& result, const SetRequest& request);

}  // namespace service
