// A cell of the live table in JSON, one rendering for whoever shows it (the web page and
// GET /api/v1/values, and the times and states that MQTT's payloads carry):
//
//   {"register": "PV", "index": 9, "state": "good", "value": 21.5, "quality": 192,
//    "time": "2026-12-08T15:39:59.870Z", "age_ms": 253, "latency_ms": 31.2, "error_code": -1,
//    "error": "", "gloss": ""}
//
// "state" is "good", "stale" or "failed" (cell_state.h); "value" is null unless the state is good:
// a stale or failed value is never served as if it were current. "time" is the last result's (null
// before any); "age_ms" that of the latest good value (null when there has been none); "error" the
// driver's message in UTF-8 and "gloss" its English meaning.
#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "service/core/live_cell.h"

namespace service {

using CellJsonValue = nlohmann::ordered_json;

// "2026-12-08T15:40:00.123Z" for `utcMs` ms since 1970-01-01 UTC.
std::string IsoUtc(std::int64_t utcMs);

// "good", "stale", "failed" ("unknown" for a cell that is not polled).
const char* CellStateName(CellState state);

CellJsonValue CellJson(const LiveCell& cell, SteadyTime now);

}  // namespace service
