#include "service/http/health.h"

#include <httplib.h>

#include <nlohmann/json.hpp>

#include "service/core/cell_json.h"
#include "service/core/service_runtime.h"

namespace service {
namespace {

using Json = nlohmann::ordered_json;

const char* StatusName(HealthStatus status) {
    switch (status) {
        case HealthStatus::kHealthy:
            return "healthy";
        case HealthStatus::kStarting:
            return "starting";
        case HealthStatus::kUnhealthy:
            break;
    }
    return "unhealthy";
}

Json ProblemJson(const HealthProblem& problem) {
    Json j;
    j["line"] = problem.line;
    if (!problem.station) {
        j["problem"] = HealthProblemName(problem.kind);
        if (problem.kind == HealthProblemKind::kLineLost) j["reason"] = problem.detail;
        return j;
    }
    j["station"] = *problem.station;
    j["problem"] = HealthProblemName(problem.kind);
    j["registers"] = problem.registers;
    j["since"] = problem.lastGoodUtcMs ? Json(IsoUtc(*problem.lastGoodUtcMs)) : Json(nullptr);
    j["age_ms"] = problem.lastGoodAge ? Json(problem.lastGoodAge->count()) : Json(nullptr);
    j["error"] = problem.detail;
    return j;
}

void Send(const HttpAnswer& answer, httplib::Response& res) {
    res.status = answer.status;
    res.set_header("Cache-Control", "no-store");
    res.set_content(answer.body, answer.contentType);
}

}  // namespace

HttpAnswer HealthAnswer(const HealthReport& report) {
    Json root;
    root["status"] = StatusName(report.status);
    root["problems"] = Json::array();
    for (const HealthProblem& problem : report.problems) {
        root["problems"].push_back(ProblemJson(problem));
    }
    HttpAnswer answer;
    answer.status = report.status == HealthStatus::kHealthy ? 200 : 503;
    answer.body = root.dump(-1, ' ', false, Json::error_handler_t::replace);
    return answer;
}

void AddHealthRoutes(httplib::Server& server, const ServiceRuntime& runtime) {
    server.Get("/healthz", [&runtime](const httplib::Request&, httplib::Response& res) {
        Send(HealthAnswer(JudgeHealth(runtime, std::chrono::steady_clock::now())), res);
    });
    server.Get("/livez", [](const httplib::Request&, httplib::Response& res) {
        HttpAnswer alive;
        alive.body = R"({"status":"alive"})";
        Send(alive, res);
    });
}

}  // namespace service
