// The body of qm4720d's POST /api/v1/write, one body per input. A body taken is a JSON object
// whose fields say exactly what the request holds: the line's name as sent, a station 0..99, the
// register's name without the spaces around it, a number as the value; a body refused says why.
#include <cmath>
#include <string_view>

#include <nlohmann/json.hpp>

#include "fuzz/fuzz_check.h"
#include "service/http/http_write_request.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view body(reinterpret_cast<const char*>(data), size);
    service::WriteRequest request;
    std::string error;
    if (!service::ParseWriteRequest(body, request, error)) {
        FUZZ_CHECK(!error.empty());
        return 0;
    }
    const auto j = nlohmann::json::parse(body, nullptr, false);
    FUZZ_CHECK(!j.is_discarded() && j.is_object());
    FUZZ_CHECK(j.at("line").get<std::string>() == request.line);
    FUZZ_CHECK(request.station >= 0 && request.station <= 99);
    FUZZ_CHECK(j.at("station").get<long>() == request.station);
    const std::string reg = j.at("register").get<std::string>();
    FUZZ_CHECK(reg.find(request.reg) != std::string::npos);
    FUZZ_CHECK(request.reg.empty() || (request.reg.front() != ' ' && request.reg.back() != ' '));
    FUZZ_CHECK(reg.find_first_not_of(' ') == std::string::npos ? request.reg.empty()
                                                               : !request.reg.empty());
    const double value = j.at("value").get<double>();
    FUZZ_CHECK(value == request.value || (std::isnan(value) && std::isnan(request.value)));
    return 0;
}
