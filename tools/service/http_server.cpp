#include "tools/service/http_server.h"

#include <httplib.h>

#include <cerrno>
#include <cstring>

#include "tools/service/history_query.h"
#include "tools/service/http_write.h"
#include "tools/service/live_json.h"
#include "tools/service/metrics_text.h"
#include "tools/service/web_page.h"

namespace service {

HttpServer::HttpServer(const HttpConfig& config, ServiceRuntime& runtime, MqttCountersSource mqtt)
    : config_(config),
      runtime_(runtime),
      mqtt_(std::move(mqtt)),
      server_(std::make_unique<httplib::Server>()) {
    // An idle kept-alive connection (a browser between two updates of the page) holds a server
    // thread until it times out, and Stop waits for every thread: one second at most, so that
    // SIGTERM still ends the service within two.
    server_->set_keep_alive_timeout(1);
    AddRoutes();
}

HttpServer::~HttpServer() {
    Stop();
}

void HttpServer::AddRoutes() {
    server_->Get("/api/v1/values", [this](const httplib::Request&, httplib::Response& res) {
        res.set_header("Cache-Control", "no-store");
        res.set_content(
            LiveJson(runtime_.config(), runtime_.live(), std::chrono::steady_clock::now(),
                     UtcNowMs(), runtime_.history().get()),
            "application/json");
    });
    server_->Get("/metrics", [this](const httplib::Request&, httplib::Response& res) {
        res.set_content(MetricsText(runtime_.live(), runtime_.history().get(), mqtt_,
                                    std::chrono::steady_clock::now()),
                        kMetricsContentType);
    });
    // A write's body is a few dozen bytes; a larger one is refused (413) before it is read whole.
    server_->set_payload_max_length(64 * 1024);
    server_->Post("/api/v1/write", [this](const httplib::Request& req, httplib::Response& res) {
        const HttpAnswer answer =
            AnswerWrite(config_, runtime_, req.get_header_value("Authorization"), req.body);
        res.status = answer.status;
        res.set_content(answer.body, "application/json");
    });
    server_->Get("/api/v1/history", [this](const httplib::Request& req, httplib::Response& res) {
        const HttpAnswer answer = AnswerHistory(runtime_.config().history, req.params, UtcNowMs());
        res.status = answer.status;
        for (const auto& [name, value] : answer.headers) res.set_header(name, value);
        res.set_header("Cache-Control", "no-store");
        res.set_content(answer.body, answer.contentType);
    });
    AddWebPage(*server_, config_);
}

bool HttpServer::Start(std::string& error) {
    errno = 0;
    if (!server_->bind_to_port(config_.address, config_.port)) {
        error = "HTTP on " + config_.address + ":" + std::to_string(config_.port) + ": " +
                (errno != 0 ? std::strerror(errno) : "cannot listen");
        return false;
    }
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    return true;
}

void HttpServer::Stop() {
    if (!thread_.joinable()) return;
    server_->stop();
    thread_.join();
}

}  // namespace service
