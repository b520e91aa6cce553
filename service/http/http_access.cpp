#include "service/http/http_access.h"

#include <nlohmann/json.hpp>

namespace service {
namespace {

char AsciiLower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
}

HttpAnswer Refuse(int status, const std::string& error) {
    nlohmann::ordered_json j;
    j["ok"] = false;
    j["error"] = error;
    HttpAnswer answer{status, "application/json", j.dump(), {}};
    if (status == 401) answer.headers.emplace_back("WWW-Authenticate", "Bearer realm=\"qm4720d\"");
    return answer;
}

}  // namespace

std::optional<std::string_view> BearerToken(std::string_view header) {
    constexpr std::string_view kScheme = "bearer ";
    if (header.size() < kScheme.size()) return std::nullopt;
    for (std::size_t i = 0; i < kScheme.size(); ++i) {
        if (AsciiLower(header[i]) != kScheme[i]) return std::nullopt;
    }
    header.remove_prefix(kScheme.size());
    while (!header.empty() && header.front() == ' ') header.remove_prefix(1);
    while (!header.empty() && (header.back() == ' ' || header.back() == '\t')) {
        header.remove_suffix(1);
    }
    return header;
}

bool SameToken(std::string_view given, std::string_view expected) {
    if (expected.empty()) return false;
    // Differences are OR-ed together rather than tested, so that no branch depends on where the
    // first one is; `expected` is read cyclically so that its length shows nowhere.
    unsigned difference = given.size() == expected.size() ? 0U : 1U;
    for (std::size_t i = 0; i < given.size(); ++i) {
        difference |= static_cast<unsigned char>(given[i]) ^
                      static_cast<unsigned char>(expected[i % expected.size()]);
    }
    return difference == 0;
}

NeededRole RoleFor(const HttpConfig& http, std::string_view method, std::string_view path) {
    if (http.writes && method == "POST" && path == "/api/v1/write") return NeededRole::kWrite;
    return http.access.readsNeedToken ? NeededRole::kRead : NeededRole::kNone;
}

std::optional<HttpAnswer> RefuseAccess(const HttpAccess& access, NeededRole role,
                                       std::string_view authorization) {
    if (role == NeededRole::kNone) return std::nullopt;
    const auto token = BearerToken(authorization);
    if (!token || token->empty()) {
        return Refuse(401, "this needs the header \"Authorization: Bearer <token>\"");
    }
    // Every configured token is compared, whichever matches, so that the time taken does not tell
    // how far down the list a match is.
    bool known = false;
    bool writes = false;
    for (const AccessToken& t : access.tokens) {
        const bool same = SameToken(*token, t.token);
        known = known || same;
        writes = writes || (same && t.role == TokenRole::kWrite);
    }
    if (!known) return Refuse(401, "the bearer token is not one of the service's tokens");
    if (role == NeededRole::kWrite && !writes) {
        return Refuse(403, "a write needs a write token; this one may only read");
    }
    return std::nullopt;
}

void GuardEveryRoute(httplib::Server& server, const HttpConfig& http) {
    server.set_pre_routing_handler([&http](const httplib::Request& req, httplib::Response& res) {
        const auto refusal = RefuseAccess(http.access, RoleFor(http, req.method, req.path),
                                          req.get_header_value("Authorization"));
        if (!refusal) return httplib::Server::HandlerResponse::Unhandled;
        res.status = refusal->status;
        for (const auto& [name, value] : refusal->headers) res.set_header(name, value);
        // A body the route would have read is left unread: the connection cannot carry another.
        if (req.has_header("Content-Length") || req.has_header("Transfer-Encoding")) {
            res.set_header("Connection", "close");
        }
        res.set_content(refusal->body, refusal->contentType);
        return httplib::Server::HandlerResponse::Handled;
    });
}

}  // namespace service
