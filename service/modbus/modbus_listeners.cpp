#include "service/modbus/modbus_listeners.h"

#include "service/core/metrics_format.h"
#include "service/core/service_log.h"

namespace service {

StationTables StationTablesOf(const LineConfig& line, const qm4720::Driver& driver) {
    StationTables tables;
    for (const MeterConfig& meter : line.meters) {
        const std::vector<qm4720::Register> table = driver.Table(meter.model);
        StationRegisters& shape = tables[meter.station];
        shape.count = static_cast<std::int16_t>(table.size());
        shape.readOnly.reserve(table.size());
        shape.scale.reserve(table.size());
        for (const qm4720::Register& entry : table) {
            shape.readOnly.push_back(entry.readOnly);
            // The table gives a register's type, not its decimals: a FLOAT is taken to carry
            // one, which keeps -999.9..3276.7 in 16 bits.
            const RegisterOptions* options = meter.Options(entry.index);
            const int fallback = entry.type == qm4720::DataType::kFloat ? 1 : 0;
            shape.scale.push_back(static_cast<std::int8_t>(
                options != nullptr && options->scale ? *options->scale : fallback));
        }
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
        const bool limited = lines[i].modbus.writeClients.has_value();
        if (limited) {
            server->OnWriteRefused([line = lines[i].name](const std::string& client) {
                Log(LogLevel::kWarning,
                    "line " + line + ": Modbus " + client +
                        ": write refused (exception 01): the address is not in write_clients; "
                        "further refusals on this connection are only counted");
            });
        }
        if (std::string failed = server->Start(); !failed.empty()) {
            error = "line " + lines[i].name + ": Modbus TCP on " + failed;
            Stop();
            return false;
        }
        servers_.push_back(std::move(server));
        limitedLines_.push_back(limited ? lines[i].name : std::string());
    }
    return true;
}

void ModbusListeners::Stop() {
    for (auto& server : servers_) server->Stop();
    servers_.clear();
    limitedLines_.clear();
}

void ModbusListeners::AppendMetrics(std::string& out) const {
    bool family = false;
    for (std::size_t i = 0; i < servers_.size(); ++i) {
        if (limitedLines_[i].empty()) continue;
        if (!family) {
            metrics::Family(out, "qm4720_modbus_writes_refused_total", "counter",
                            "Modbus writes refused because the client's address is not in the "
                            "line's write_clients.");
            family = true;
        }
        std::string labels;
        metrics::AppendLabel(labels, "line", limitedLines_[i]);
        metrics::Sample(out, "qm4720_modbus_writes_refused_total", labels,
                        servers_[i]->WritesRefused());
    }
}

}  // namespace service
