#include "service/modbus/modbus_listeners.h"

namespace service {

StationTables StationTablesOf(const LineConfig& line, const qm4720::Driver& driver) {
    StationTables tables;
    for (const MeterConfig& meter : line.meters) {
        const std::vector<qm4720::Register> table = driver.Table(meter.model);
        StationRegisters& shape = tables[meter.station];
        shape.count = static_cast<std::int16_t>(table.size());
        shape.readOnly.reserve(table.size());
        for (const qm4720::Register& entry : table) shape.readOnly.push_back(entry.readOnly);
    }
    return tables;
}

bool ModbusListeners::Start(ServiceRuntime& runtime, std::string& error) {
    Stop();
    qm4720::Driver driver;
    if (const qm4720::Error loaded = driver.Load(runtime.modulePath(), "")) {
        error = loaded.driverText;
        return false;
    }
    const auto& lines = runtime.config().lines;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].modbus.port == 0) continue;
        auto server = std::make_unique<ModbusServer>(lines[i].modbus, runtime.Gateway(i),
                                                     StationTablesOf(lines[i], driver));
        if (std::string failed = server->Start(); !failed.empty()) {
            error = "line " + lines[i].name + ": Modbus TCP on " + failed;
            Stop();
            return false;
        }
        servers_.push_back(std::move(server));
    }
    return true;
}

void ModbusListeners::Stop() {
    for (auto& server : servers_) server->Stop();
    servers_.clear();
}

}  // namespace service
