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
// (no register answered), "line lost", "not polled" (no register of it is polled). A register's:
// "good", "stale", "failed". "value" is null unless the state is good: a stale or failed value is
// never served as if it were current. "time" is the last result's (null before any); "age_ms" that
// of the latest good value (null when there has been none); "error" the driver's message in UTF-8
// and "gloss" its English meaning.
//
// "history": null when none is kept, else {"state": "writing" | "failing", "error": "" | why,
// "rows_dropped": rows not written so far}, so that the page says when the history is lost.
#pragma once

#include <cstdint>
#include <string>

#include "service/history/history_writer.h"
#include "service/core/live_table.h"

namespace service {

// "2026-12-08T15:40:00.123Z" for `utcMs` ms since 1970-01-01 UTC.
std::string IsoUtc(std::int64_t utcMs);

std::string LiveJson(const ServiceConfig& config, const LiveTable& live, SteadyTime now,
                     std::int64_t nowUtcMs, const HistoryWriter* history = nullptr);

}  // namespace service
