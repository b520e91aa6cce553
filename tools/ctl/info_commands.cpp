// The subcommands that need no line: ports, tables, check-station, parse and register.
#include <algorithm>
#include <cstdio>

#include "host/oskit/system_text.h"
#include "tools/ctl/command_support.h"

namespace ctl {

int RunPorts(const Options& options) {
    int status = kExitOk;
    if (!RedirectOutput(options, status)) return status;
    RecordWriter out(options.format, {"port", "driver", "usb_vendor", "usb_product",
                                      "serial_number", "by_id", "description"});
    auto text = [](const std::string& t) { return t.empty() ? Cell::Null() : Cell::Text(t); };
    for (const host::SerialPortInfo& port : host::ListSerialPorts()) {
        std::string byId;
        for (const std::string& name : port.stableNames) byId += (byId.empty() ? "" : " ") + name;
        out.Row({Cell::Text(port.name), text(port.driver), text(port.usbVendor),
                 text(port.usbProduct), text(port.serialNumber), text(byId),
                 text(port.description)});
    }
    return kExitOk;
}

int RunTables(const Options& options) {
    int status = kExitOk;
    auto driver = LoadDriver(options, status);
    if (!driver || !RedirectOutput(options, status)) return status;
    RecordWriter out(options.format, {"index", "mnemonic", "type", "read_only"});
    for (const qm4720::Register& entry : driver->Table(options.model)) {
        out.Row({Cell::Number(entry.index), Cell::Text(entry.mnemonic),
                 Cell::Text(qm4720::DataTypeName(entry.type)), Cell::Bool(entry.readOnly)});
    }
    return kExitOk;
}

int RunCheckStation(const Options& options) {
    int status = kExitOk;
    auto driver = LoadDriver(options, status);
    if (!driver) return status;
    if (!RedirectOutput(options, status)) return status;
    const qm4720::StationResult checked = driver->CheckStation(options.text);
    if (checked.error) {
        ReportDriverFailure("station '" + options.text + "'", checked.error);
        return kExitFailure;
    }
    const int station = checked.station;
    if (options.format == Format::kText) {
        std::printf("%d\n", station);  // the bare number, for people and for $(...)
    } else {
        RecordWriter(options.format, {"station"}).Row({Cell::Number(station)});
    }
    return kExitOk;
}

int RunParse(const Options& options) {
    int status = kExitOk;
    auto driver = LoadDriver(options, status);
    if (!driver) return status;
    std::uint16_t mask = 0;
    for (std::string type : options.types) {
        // As with --model, the case of a type name does not matter.
        std::transform(type.begin(), type.end(), type.begin(),
                       [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; });
        qm4720::DataType known{};
        if (qm4720::DataTypeFromName(type, known)) {
            mask = static_cast<std::uint16_t>(mask | static_cast<std::uint16_t>(known));
        } else {
            Diagnose(
                "--types: expected BIT, BYTE, INT, UINT, BCD, LONG, LONGBCD, FLOAT or STRING, "
                "got '" +
                type + "'");
            return kExitUsage;
        }
    }
    if (!RedirectOutput(options, status)) return status;
    const qm4720::RegisterResult resolved = driver->ParseRegister(options.text, mask);
    if (resolved.error) {
        ReportDriverFailure("register '" + options.text + "'", resolved.error);
        return kExitFailure;
    }
    const qm4720::Register& reg = resolved.reg;
    RecordWriter out(options.format, {"register", "index", "type", "read_only"});
    out.Row({Cell::Text(reg.mnemonic), Cell::Number(reg.index),
             Cell::Text(qm4720::DataTypeName(reg.type)), Cell::Bool(reg.readOnly)});
    return kExitOk;
}

int RunRegister(const Options& options) {
    if (!options.module.progId.empty()) {
        Diagnose("register: registration runs from the module file; use --module PATH");
        return kExitUsage;
    }
    int status = kExitOk;
    if (!RedirectOutput(options, status)) return status;
    const qm4720::ModuleRegistration registered =
        qm4720::Driver::RegisterModule(options.module.modulePath);
    if (registered.error) {
        Diagnose(registered.error.message);
        return registered.error.code == qm4720::ErrorCode::kModule ? kExitModule : kExitFailure;
    }
    const std::string& path = registered.modulePath;
    std::printf("registered QM4720.QM4720Pro -> %s\n", path.c_str());
    return kExitOk;
}

}  // namespace ctl
