#include "service/http/http_write.h"

#include <optional>

#include <nlohmann/json.hpp>

#include "service/http/http_access.h"
#include "service/http/http_write_request.h"
#include "service/core/line_gateway.h"
#include "service/core/service_log.h"
#include "service/core/write_outcomes.h"

namespace service {
namespace {

using Json = nlohmann::ordered_json;

HttpAnswer Refuse(int status, const std::string& error) {
    Json j;
    j["ok"] = false;
    j["error"] = error;
    return {status, "application/json", j.dump(-1, ' ', false, Json::error_handler_t::replace), {}};
}

std::string Quoted(const std::string& text) {
    return "\"" + text + "\"";
}

std::string ModelName(const MeterConfig& meter) {
    return meter.model.empty() ? "default" : meter.model;
}

// Why `meter` does not take a write to `reg`: read-only in the model, or not configured writable.
std::string NotWritable(const std::string& line, const MeterConfig& meter, const std::string& reg) {
    for (const PolledRegister& polled : meter.polled) {
        if (polled.reg.mnemonic == reg && polled.reg.readOnly) {
            return "register " + Quoted(reg) + " is read-only in model " + ModelName(meter) +
                   "'s table";
        }
    }
    std::string writable;
    for (const qm4720::Register& w : meter.writable) {
        writable += (writable.empty() ? "" : ", ") + w.mnemonic;
    }
    return "register " + Quoted(reg) + " of station " + std::to_string(meter.station) +
           " on line " + Quoted(line) + " is not configured writable (" +
           (writable.empty() ? std::string("this meter has no writable register")
                             : "writable: " + writable) +
           ")";
}

HttpAnswer AnswerOutcome(const WriteRequest& request, const WriteResult& result) {
    const WriteOutcome outcome = result.outcome;
    Json j;
    j["ok"] = outcome == WriteOutcome::kDone;
    j["outcome"] = WriteOutcomeText(outcome);
    int status = 200;
    switch (outcome) {
        case WriteOutcome::kDone:
            break;
        case WriteOutcome::kNotWritable:  // the configuration was checked before; kept for safety
            status = 403;
            j["error"] = "the register is not writable";
            break;
        case WriteOutcome::kRefusedByDriver:
            status = 422;
            j["error"] =
                "refused by driver before the line: the meter's field cannot carry the value "
                "as asked (an INT must be whole, -32768..32767; a FLOAT -999.9..9999.9)";
            break;
        case WriteOutcome::kRefusedByMeter:
            status = 502;
            j["error"] = "the meter refused the write";
            break;
        case WriteOutcome::kNoAnswer:
            status = 504;
            j["error"] =
                "the meter did not answer (timeout, line lost, or the service is stopping)";
            break;
    }
    j["line"] = request.line;
    j["station"] = request.station;
    j["register"] = request.reg;
    // What the meter was sent, which is what it holds after a done write; "requested" as asked.
    j["value"] = result.sent ? Json(*result.sent) : Json(nullptr);
    j["requested"] = request.value;
    return {status, "application/json", j.dump(-1, ' ', false, Json::error_handler_t::replace), {}};
}

}  // namespace

std::optional<HttpAnswer> RefuseWriteBeforeBody(const HttpConfig& http,
                                                std::string_view authorization) {
    if (!http.writes) {
        return Refuse(403,
                      "writes over HTTP are off: the service's [http] table sets writes = "
                      "true and a write token to allow them");
    }
    return RefuseAccess(http.access, NeededRole::kWrite, authorization);
}

HttpAnswer RefuseWriteBody(bool tooLong) {
    return tooLong ? Refuse(413, "the body is longer than " + std::to_string(kMaxWriteBody / 1024) +
                                     " KiB")
                   : Refuse(400, "the body did not arrive whole");
}

HttpAnswer AnswerWrite(const HttpConfig& http, ServiceRuntime& runtime, std::string_view peer,
                       std::string_view authorization, std::string_view body) {
    if (auto refusal = RefuseWriteBeforeBody(http, authorization)) return *refusal;

    WriteRequest request;
    std::string error;
    if (!ParseWriteRequest(body, request, error)) {
        return Refuse(400, error +
                               "; expected {\"line\": \"line1\", \"station\": 1, "
                               "\"register\": \"SP\", \"value\": 42.5}");
    }
    const WritableRegister target =
        runtime.FindWritable(request.line, request.station, request.reg);
    if (target.meter == nullptr) {
        if (target.line >= runtime.config().lines.size()) {
            return Refuse(404,
                          "no line " + Quoted(request.line) + " in the service's configuration");
        }
        return Refuse(404, "no station " + std::to_string(request.station) + " on line " +
                               Quoted(request.line));
    }
    if (target.reg == nullptr) {
        const std::string why = NotWritable(request.line, *target.meter, request.reg);
        LogWrite("HTTP " + std::string(peer), request.line, request.station, request.reg,
                 request.value, WriteResult{WriteOutcome::kNotWritable, std::nullopt}, why);
        return Refuse(403, why);
    }
    const WriteResult result =
        runtime.Gateway(target.line)
            .Write(request.station, target.reg->index, request.value, "HTTP " + std::string(peer));
    return AnswerOutcome(request, result);
}

}  // namespace service
