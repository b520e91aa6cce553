// One output of qm4720d (the history, the Modbus listeners, the HTTP server, the MQTT publisher):
// what the runtime starts once the configuration's lines are made, and stops before it drops
// them. outputs.cpp lists them; the runtime starts them in that order and stops them in reverse.
#pragma once

#include <string>
#include <vector>

namespace service {

class ServiceRuntime;

// A member of the top level of the live JSON (GET /api/v1/values) that an output adds about itself.
struct StatusMember {
    std::string name;
    std::string json;  // the member's value as JSON text
};

class Output {
public:
    virtual ~Output() = default;

    // Takes its place in `runtime` (subscribes to its events, opens its listeners); the lines do
    // not run yet. False with `error` set when it cannot (a port that is taken): the runtime then
    // stops the outputs started before it and starts nothing more.
    virtual bool Start(ServiceRuntime& runtime, std::string& error) = 0;
    // After the lines stopped: takes no more requests and finishes what is in progress. Events
    // may still come (a write refused at once) until the runtime is gone.
    virtual void Stop() = 0;

    // Its own samples for /metrics, in the Prometheus text format, appended to `text`.
    virtual void AppendMetrics(std::string& text) const { (void)text; }
    // Members it adds to the live JSON.
    virtual void AppendStatus(std::vector<StatusMember>& members) const { (void)members; }
};

}  // namespace service
