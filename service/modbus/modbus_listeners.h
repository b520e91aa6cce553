// The Modbus TCP listeners of one running configuration: a service::ModbusServer for every line
// that configures one, over that line's gateway, unit identifier = station on the line.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "service/modbus/modbus_register_map.h"
#include "service/modbus/modbus_server.h"
#include "service/core/output.h"
#include "service/core/service_runtime.h"

namespace service {

// The shape of the table of each meter's model on `line` (size, read-only flags), as the driver
// gives it, for the server to judge an address before it asks the gateway.
StationTables StationTablesOf(const LineConfig& line, const qm4720::Driver& driver);

class ModbusListeners final : public Output {
public:
    ModbusListeners() = default;
    ~ModbusListeners() override { Stop(); }
    ModbusListeners(const ModbusListeners&) = delete;
    ModbusListeners& operator=(const ModbusListeners&) = delete;

    // Starts a server for every line of `runtime` with a listener, each meter's table shape taken
    // from the driver itself; `runtime` must outlive them (Stop before it is destroyed). False
    // with `error` set, e.g. "line line1: Modbus TCP on 127.0.0.1:5020: Address already in use",
    // when one cannot listen (or the driver cannot be loaded); none is left running then. Until
    // the lines run, every read is answered 0x0B.
    bool Start(ServiceRuntime& runtime, std::string& error) override;
    // Closes every listener and client; a client inside a write is joined once its line answers
    // (within the line's reply timeout, at once when the line is stopping). Idempotent.
    void Stop() override;

    // qm4720_modbus_writes_refused_total of every line with a listener that has write_clients.
    void AppendMetrics(std::string& text) const override;

private:
    std::vector<std::unique_ptr<ModbusServer>> servers_;
    std::vector<std::string> limitedLines_;  // the lines of servers_ with write_clients, or ""
};

}  // namespace service
