// The live table as JSON, as the web page and GET /api/v1/values serve it:
//
//   {"time": "2026-12-08T15:40:00.123Z",
//    "lines": [{"name": "line1", "port": "/dev/ttyUSB0", "state": "up",
//               "meters": [{"station": 1, "model": "default", "state": "answering",
//                           "registers": [{"register": "PV", "index": 9, "state": "good",
//                                          "value": 21.5, "quality": 192,
//                                          "time": "2026-12-08T15:39:59.870Z", "age_ms": 253,
//                                          "latency_ms": 31.2, "error_code": -1, "error": "",
//                                          "gloss": ""}]}]}]}
//
// A line's state: "starting", "up", "lost". A meter's: "answering" (every polled register
// good), "stale" (some register stale or failed while others answer, or all stale), "failed"
// (no register answered), "line lost", "not polled" (no register of it is polled).
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

std::string LiveJson(const ServiceConfig& config, const LiveTable& live, SteadyTime now,
                     std::int64_t nowUtcMs, std::span<const StatusMember> members = {});

}  // namespace service
