// The live table as JSON, as the web page and GET /api/v1/values serve it:
//
//   {"time": "2026-12-08T15:40:00.123Z",
//    "lines": [{"name": "line1", "port": "/dev/ttyUSB0", "state": "up",
//               "meters": [{"station": 1, "model": "default", "state": "answering",
//                           "registers": [{"register": "PV", "index": 9, "state": "good",
//                                          "value": 21.5, "quality": 192,
//                                          "time": "2026-12-08T15:39:59.870Z", "age_ms": 253,
//                                          "latency_ms": 31.2, "error_code": -1, "error": "",
//                                          "gloss": "", "quality_text": "good",
//                                          "label": "Oven 3", "unit": "°C",
//                                          "description": "FLOAT register 9 of the default
//                                                          model's table, read-only"}]}]}]}
//
// A line's state: "starting", "up", "lost". A meter's: "answering" (every polled register
// good), "stale" (some register stale or failed while others answer, or all stale), "failed"
// (no register answered), "line lost", "not polled" (no register of it is polled).
//
// A register's "quality_text" is what its state and last error say in words: "good", "stale",
// "bad: line lost", "bad: no answer" (its meter is silent), "bad: no reading yet", or "bad: " and
// the host's outcome word of the error code ("timeout", "reply-error", "error"). "label" and "unit"
// are the configuration's ("" when none); "description" what the model's table says of it.
//
// After "lines", the members the outputs add of themselves (Output::AppendStatus): "history" is
// null when none is kept, else {"state": "writing" | "failing", "error": "" | why,
// "rows_dropped": rows not written so far}, so that the page says when the history is lost.
#pragma once

#include <cstdint>
#include <string>

#include <span>

#include "service/core/live_table.h"
#include "service/core/output.h"

namespace service {

// The words of "quality_text" for `cell`, judged `state`, on a line in state `line`, of a meter
// taken for silent or not.
std::string QualityText(const LiveCell& cell, CellState state, LineState line, bool silent);

std::string LiveJson(const ServiceConfig& config, const LiveTable& live, SteadyTime now,
                     std::int64_t nowUtcMs, std::span<const StatusMember> members = {});

}  // namespace service
