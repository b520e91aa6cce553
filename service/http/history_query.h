// GET /api/v1/history: rows of the history database as JSON or CSV.
//
//   /api/v1/history?line=a&station=1&register=PV&since=-1h&until=now&format=json&limit=10000
//
// Every parameter is optional. since/until: an ISO 8601 UTC time (2026-12-08T12:00:00Z, with or
// without ms), ms since 1970-01-01 UTC, "now", or now minus a number of s, m, h or d ("-90s",
// "-15m", "-1h", "-2d"). The rows are since <= time < until; since defaults to -1h, until to no
// bound. limit: 1 .. 100000, 10000 unless given. When more rows match than the limit, the newest
// `limit` rows are answered (still oldest first) with "truncated": true and "next_until_ms": ask
// again with until=next_until_ms for the rows before them. JSON:
//
//   {"since": "...Z", "since_ms": ..., "until": "...Z" | null, "until_ms": ... | null,
//    "truncated": false,
//    "rows": [{"time": "2026-12-08T15:39:59.870Z", "time_ms": 1796744399870, "line": "a",
//              "station": 1, "register": "PV", "value": 21.5, "quality": 192,
//              "error_code": -1}]}
//
// "value" is null for a failed read. CSV has the header row
// time,time_ms,line,station,register,value,quality,error_code (value empty when failed) and says
// truncated in the headers X-History-Truncated: true and X-History-Next-Until-Ms.
//
// With points=N (1 .. 10000) the query names one register (line, station and register) and the
// answer is at most N points for a chart, JSON only; until defaults to now:
//
//   {"since": "...Z", "since_ms": ..., "until": "...Z", "until_ms": ...,
//    "resolution": "raw" | "minute" | "hour", "bucket_ms": 0 | <ms of one point's bucket>,
//    "points": [{"time_ms": ..., "min": x|null, "max": y|null, "mean": z|null,
//                "count": good readings, "failed": failed readings}]}
//
// "raw": each point is one stored row (min = max = mean = its value), the value held at since
// first; else each point is a bucket of bucket_ms starting at time_ms, of every polled reading.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "service/http/http_answer.h"
#include "service/core/history_reader.h"
#include "service/core/service_config.h"

namespace service {

struct HistoryQuery {
    HistoryFilter filter;
    bool untilGiven = false;
    bool csv = false;
    std::size_t limit = 10000;
    std::size_t points = 0;  // 0: rows, not points
};

inline constexpr std::size_t kHistoryMaxLimit = 100000;

// The query of `params` (the request's, as cpp-httplib gives them) at `nowMs`; false with `error`
// saying which parameter is wrong and what is expected.
bool ParseHistoryQuery(const std::multimap<std::string, std::string>& params, std::int64_t nowMs,
                       HistoryQuery& query, std::string& error);

// The whole answer to GET /api/v1/history: 200 with the rows, 400 for a bad parameter, 404 when
// the configuration keeps no history, 500 when the database cannot be read (body: the reason).
HttpAnswer AnswerHistory(const HistoryConfig& history,
                         const std::multimap<std::string, std::string>& params, std::int64_t nowMs);

}  // namespace service
