#include "service/http/http_server.h"

#include "service/http/health.h"
#include "service/http/history_query.h"
#include "service/http/http_access.h"
#include "service/http/http_bounded_server.h"
#include "service/http/http_write.h"
#include "service/http/live_json.h"
#include "service/http/metrics_text.h"
#include "service/http/web_page.h"

namespace service {

HttpServer::HttpServer(const HttpConfig& config)
    : config_(config), server_(std::make_unique<BoundedHttpServer>()) {}

HttpServer::~HttpServer() {
    Stop();
}

void HttpServer::AddRoutes() {
    // Before any route: a route added below or elsewhere needs no check of its own.
    GuardEveryRoute(*server_, config_);
    server_->Get("/api/v1/values", [this](const httplib::Request&, httplib::Response& res) {
        res.set_header("Cache-Control", "no-store");
        std::vector<StatusMember> members;
        for (const auto& output : runtime_->outputs()) output->AppendStatus(members);
        res.set_content(LiveJson(runtime_->config(), runtime_->live(),
                                 std::chrono::steady_clock::now(), UtcNowMs(), members),
                        "application/json");
    });
    server_->Get("/metrics", [this](const httplib::Request&, httplib::Response& res) {
        res.set_content(
            MetricsText(runtime_->live(), runtime_->outputs(), std::chrono::steady_clock::now()),
            kMetricsContentType);
    });
    // A write's body is a few dozen bytes; a larger one is refused (413) before it is read whole.
    server_->set_payload_max_length(kMaxWriteBody);
    // The body is read only once the token is known good: a client without it cannot make the
    // service hold anything.
    server_->Post("/api/v1/write", [this](const httplib::Request& req, httplib::Response& res,
                                          const httplib::ContentReader& read) {
        const std::string authorization = req.get_header_value("Authorization");
        std::optional<HttpAnswer> answer = RefuseWriteBeforeBody(config_, authorization);
        std::string body;
        if (!answer) {
            bool tooLong = false;
            const bool whole = read([&body, &tooLong](const char* data, std::size_t size) {
                tooLong = body.size() + size > kMaxWriteBody;
                if (!tooLong) body.append(data, size);
                return !tooLong;
            });
            if (!whole) answer = RefuseWriteBody(tooLong || res.status == 413);
        }
        // Unread, the rest of the body would be taken for the next request.
        if (answer) res.set_header("Connection", "close");
        if (!answer) {
            answer = AnswerWrite(config_, *runtime_,
                                 req.remote_addr + ":" + std::to_string(req.remote_port),
                                 authorization, body);
        }
        res.status = answer->status;
        for (const auto& [name, value] : answer->headers) res.set_header(name, value);
        res.set_content(answer->body, "application/json");
    });
    // A client that asks before sending its body is refused before it, too.
    server_->set_expect_100_continue_handler(
        [this](const httplib::Request& req, httplib::Response& res) {
            const std::string authorization = req.get_header_value("Authorization");
            auto refusal =
                RefuseAccess(config_.access, RoleFor(config_, req.method, req.path), authorization);
            if (!refusal && req.method == "POST" && req.path == "/api/v1/write") {
                refusal = RefuseWriteBeforeBody(config_, authorization);
            }
            if (!refusal) return 100;
            res.status = refusal->status;
            for (const auto& [name, value] : refusal->headers) res.set_header(name, value);
            res.set_header("Connection", "close");
            res.set_content(refusal->body, "application/json");
            return refusal->status;
        });
    server_->Get("/api/v1/history", [this](const httplib::Request& req, httplib::Response& res) {
        const HttpAnswer answer = AnswerHistory(runtime_->config().history, req.params, UtcNowMs());
        res.status = answer.status;
        for (const auto& [name, value] : answer.headers) res.set_header(name, value);
        res.set_header("Cache-Control", "no-store");
        res.set_content(answer.body, answer.contentType);
    });
    AddHealthRoutes(*server_, *runtime_);
    AddWebPage(*server_, config_);
}

bool HttpServer::Start(ServiceRuntime& runtime, std::string& error) {
    runtime_ = &runtime;
    if (config_.access.Tls()) {
        std::string why;
        auto context =
            TlsServerContext::Open(config_.access.tlsCertificate, config_.access.tlsKey, why);
        if (context == nullptr) {
            error = "HTTPS on " + config_.address + ":" + std::to_string(config_.port) + ": " + why;
            return false;
        }
        server_->UseTls(std::move(context));
    }
    AddRoutes();
    std::string why;
    if (!server_->Open(config_.address, config_.port, why)) {
        error = "HTTP on " + config_.address + ":" + std::to_string(config_.port) + ": " + why;
        return false;
    }
    return true;
}

void HttpServer::Stop() {
    server_->Close();
}

}  // namespace service
