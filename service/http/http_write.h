// POST /api/v1/write of qm4720d: one value written to one register of one meter, answered only
// once the meter has acknowledged it (or the exchange failed).
//
//   POST /api/v1/write
//   Authorization: Bearer <a write token>
//   {"line": "line1", "station": 1, "register": "SP", "value": 42.5}
//
// Checked in this order, so that nothing about the meters is told to a caller without the token:
//   403 writes are off ([http] writes = false); 401 the bearer token is missing or unknown, 403
//       it may only read (http_access.h; all answered before the body is read)
//   413 the body is longer than kMaxWriteBody
//   400 the body is not such a JSON object, or did not arrive whole
//   404 no such line, or no such station on it
//   403 the register is not configured writable on that meter, or is read-only in its model
//   then the write is queued on the line's worker and the answer waits for the meter:
//   200 {"ok": true, "outcome": "done", ..., "value": 42.123, "requested": 42.123456}
//                             the meter acknowledged the value; "value" is the one it was sent
//   422 "refused by driver"   the meter's field cannot carry the value as asked (an INT not
//                             whole or past -32768..32767, a FLOAT past six characters): refused
//                             before the line, the meter untouched
//   502 "refused by meter"    the meter answered with a refusal (NAK)
//   504 "no answer"           timeout, line lost, or the service is stopping
// Every answer is a JSON object with "ok"; a refusal has "error" saying why in English.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "service/http/http_answer.h"
#include "service/core/service_config.h"
#include "service/core/service_runtime.h"

namespace service {

// The longest body of a write; a longer one is refused (413) unread.
constexpr std::size_t kMaxWriteBody = 64 * 1024;

// The refusal of a write whatever its body says (writes off, the token missing, unknown or
// only a read token), so that it can be answered before the body is read; nullopt when the body is
// to be read.
std::optional<HttpAnswer> RefuseWriteBeforeBody(const HttpConfig& http,
                                                std::string_view authorization);

// The answer to a body that did not arrive whole: 413 when it is longer than kMaxWriteBody, else
// 400.
HttpAnswer RefuseWriteBody(bool tooLong);

// Blocks the calling thread until the meter answered, when the request gets that far.
// `peer`: the client's address and port, for the log; `authorization`: the request's
// Authorization header ("" when absent).
HttpAnswer AnswerWrite(const HttpConfig& http, ServiceRuntime& runtime, std::string_view peer,
                       std::string_view authorization, std::string_view body);

}  // namespace service
