// Who may ask what of the HTTP server: every request passes one check before its route, so that a
// route added later (the page, /api/v1/*, /metrics, /healthz, ...) is guarded without a word of
// its own. A write (POST /api/v1/write) needs a write token while writes are on (while they are
// off its route says so with 403, to a reader); any other request needs a read or write token
// while read_access = "token", and nothing otherwise.
//   401 no token, or one the service does not know (with WWW-Authenticate: Bearer)
//   403 a read token on a write
#pragma once

#include <httplib.h>

#include <optional>
#include <string_view>

#include "service/core/service_config.h"
#include "service/http/http_answer.h"

namespace service {

// What a request to `method` `path` needs.
enum class NeededRole { kNone, kRead, kWrite };
NeededRole RoleFor(const HttpConfig& http, std::string_view method, std::string_view path);

// The refusal of a request that needs `role` and carries `authorization` (its Authorization
// header, "" when absent); nullopt when it may go on. Tokens are compared in constant time.
std::optional<HttpAnswer> RefuseAccess(const HttpAccess& access, NeededRole role,
                                       std::string_view authorization);

// Makes `server` run the check before every route, and before a body is read; `http` must
// outlive the server.
void GuardEveryRoute(httplib::Server& server, const HttpConfig& http);

// The token of "Bearer TOKEN" (the scheme in any case); nullopt for any other header.
std::optional<std::string_view> BearerToken(std::string_view header);

// True when `given` equals `expected`. The time taken depends on the length of `given` only: every
// byte of it is compared whatever the bytes before it were, and a length that differs is folded
// into the result instead of ending the comparison.
bool SameToken(std::string_view given, std::string_view expected);

}  // namespace service
