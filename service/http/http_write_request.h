// The body of POST /api/v1/write, {"line": "line1", "station": 1, "register": "SP", "value": 42.5},
// read apart from the route so that it can be fuzzed alone.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace service {

struct WriteRequest {
    std::string line;
    std::int16_t station = 0;
    std::string reg;  // without the spaces around it
    double value = 0;
};

// The request of `body`; false with `error` saying what is wrong.
bool ParseWriteRequest(std::string_view body, WriteRequest& request, std::string& error);

}  // namespace service
