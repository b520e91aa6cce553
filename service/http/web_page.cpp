#include "service/http/web_page.h"

#include <httplib.h>

#include <fstream>
#include <sstream>

#include "web_assets.h"

namespace service {

bool ReadChartJs(const std::string& path, std::string& body, std::string& error) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream bytes;
    if (file) bytes << file.rdbuf();
    if (!file || bytes.str().empty()) {
        error = "Chart.js not found at " + path +
                ": install libjs-chart.js, or set [http] chart_js to a copy of chart.min.js (3.x)";
        return false;
    }
    body = std::move(bytes).str();
    return true;
}

void AddWebPage(httplib::Server& server, const HttpConfig& config) {
    for (const WebAsset& asset : kWebAssets) {
        server.Get(std::string(asset.path), [&asset](const httplib::Request&,
                                                     httplib::Response& res) {
            res.set_header("Cache-Control", "no-cache");
            res.set_content(asset.body.data(), asset.body.size(), std::string(asset.contentType));
        });
    }
    // Read at each request: the package may be installed, or upgraded, while the service runs.
    server.Get("/chart.js",
               [path = config.chartJs](const httplib::Request&, httplib::Response& res) {
                   std::string body, error;
                   if (!ReadChartJs(path, body, error)) {
                       res.status = 404;
                       res.set_content(error + "\n", "text/plain; charset=utf-8");
                       return;
                   }
                   res.set_header("Cache-Control", "max-age=3600");
                   res.set_content(std::move(body), "text/javascript; charset=utf-8");
               });
}

}  // namespace service
