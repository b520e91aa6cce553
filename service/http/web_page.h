// The web page of qm4720d: its own files (service/http/web/, built into the program) and Chart.js
// from the file that [http] chart_js names (Debian's libjs-chart.js), served as /chart.js. The
// page fetches nothing but these and the JSON interface, so it works on a network without
// internet.
#pragma once

#include <string>

#include "service/core/service_config.h"

namespace httplib {
class Server;
}

namespace service {

// Adds GET / (the page), its scripts and style, and GET /chart.js.
void AddWebPage(httplib::Server& server, const HttpConfig& config);

// The bytes of the file at `path`; false with `error` set to what a person reading the page is to
// be told ("Chart.js not found at PATH: install libjs-chart.js ...") when it cannot be read.
bool ReadChartJs(const std::string& path, std::string& body, std::string& error);

}  // namespace service
