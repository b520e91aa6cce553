// The HTTP server of qm4720d (cpp-httplib): the web page, the JSON interface (/api/v1/...) and
// the Prometheus metrics, all answered from the live table and the history database, never from a
// serial line; a write (POST /api/v1/write) is the only request that waits for a meter.
#pragma once

#include <memory>
#include <string>

#include "service/mqtt/mqtt_counters.h"
#include "service/core/service_config.h"
#include "service/core/service_runtime.h"

namespace service {

class BoundedHttpServer;

class HttpServer {
public:
    // `runtime` must outlive the server (Stop before it is destroyed).
    HttpServer(const HttpConfig& config, ServiceRuntime& runtime, MqttCountersSource mqtt = {});
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Listens on the configured address and port and serves from another thread; false with
    // `error` set, e.g. "HTTP on 127.0.0.1:8080: Address already in use", when it cannot listen.
    bool Start(std::string& error);
    // Stops listening and joins the server's threads (a write in progress is answered first).
    // Idempotent.
    void Stop();

private:
    void AddRoutes();

    HttpConfig config_;
    ServiceRuntime& runtime_;
    MqttCountersSource mqtt_;
    std::unique_ptr<BoundedHttpServer> server_;
};

}  // namespace service
