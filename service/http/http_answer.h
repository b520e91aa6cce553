// What a route of qm4720d's HTTP server answers, built apart from the server so that it can be
// tested without one.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace service {

struct HttpAnswer {
    int status = 200;
    std::string contentType = "application/json";
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;
};

}  // namespace service
