// GET /healthz and GET /livez of qm4720d, for monitors and service managers:
//
//   /healthz  200 {"status": "healthy", "problems": []} while every line is up and every polled
//             register good (health.h in the core decides); else 503 with "status" "starting" or
//             "unhealthy" and each problem, e.g.
//             {"line": "b", "station": 9, "problem": "silent", "registers": ["PV"],
//              "since": "2026-12-09T02:40:00.120Z", "age_ms": 5230, "error": "..."}
//             ("since" and "age_ms" those of the oldest latest good value, null when there was
//             none) or {"line": "a", "problem": "line lost", "reason": "..."}.
//   /livez    200 {"status": "alive"} whenever the process answers at all.
#pragma once

#include "service/core/health.h"
#include "service/http/http_answer.h"

namespace httplib {
class Server;
}

namespace service {

HttpAnswer HealthAnswer(const HealthReport& report);

// Adds GET /healthz and GET /livez, answered from `runtime` (which must outlive the server).
void AddHealthRoutes(httplib::Server& server, const ServiceRuntime& runtime);

}  // namespace service
