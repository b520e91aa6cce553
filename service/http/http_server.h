// The HTTP server of qm4720d (cpp-httplib): the web page, the JSON interface (/api/v1/...) and
// the Prometheus metrics, all answered from the live table and the history database, never from a
// serial line; a write (POST /api/v1/write) is the only request that waits for a meter.
#pragma once

#include <memory>
#include <string>

#include "service/core/output.h"
#include "service/core/service_config.h"
#include "service/core/service_runtime.h"

namespace service {

class BoundedHttpServer;

class HttpServer final : public Output {
public:
    explicit HttpServer(const HttpConfig& config);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Listens on the configured address and port and serves `runtime` (which must outlive the
    // server) from another thread; false with `error` set, e.g. "HTTP on 127.0.0.1:8080: Address
    // already in use", when it cannot listen. /metrics and the live JSON show what each of the
    // runtime's outputs adds of itself.
    bool Start(ServiceRuntime& runtime, std::string& error) override;
    // Stops listening and joins the server's threads (a write in progress is answered first).
    // Idempotent.
    void Stop() override;

private:
    void AddRoutes();

    HttpConfig config_;
    ServiceRuntime* runtime_ = nullptr;
    std::unique_ptr<BoundedHttpServer> server_;
};

}  // namespace service
