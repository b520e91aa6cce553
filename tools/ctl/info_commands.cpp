// The subcommands that need no line: ports, tables, check-station, parse and register.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>

#include "host/module_loader.h"
#include "host/system_text.h"
#include "records/data_type.h"
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
    auto session = Session(options, status);
    if (!session || !RedirectOutput(options, status)) return status;
    RecordWriter out(options.format, {"index", "mnemonic", "type", "read_only"});
    const auto table = session->RegisterTable(options.model);
    for (std::size_t i = 0; i < table.size(); ++i) {
        const RegisterDescriptor& entry = table[i];
        out.Row({Cell::Number(static_cast<double>(i)),
                 Cell::Text(std::string(entry.mnemonic, strnlen(entry.mnemonic, 8))),
                 Cell::Text(qm4720::DataTypeName(static_cast<qm4720::DataType>(entry.dataType))),
                 Cell::Bool(entry.readOnly)});
    }
    return kExitOk;
}

int RunCheckStation(const Options& options) {
    int status = kExitOk;
    auto session = Session(options, status);
    if (!session) return status;
    if (!RedirectOutput(options, status)) return status;
    std::string error;
    const std::optional<int> checked = session->CheckStation(options.text, error);
    if (!checked) {
        ReportDriverFailure("station '" + options.text + "'", error, session->ErrorCode());
        return kExitFailure;
    }
    const int station = *checked;
    if (options.format == Format::kText) {
        std::printf("%d\n", station);  // the bare number, for people and for $(...)
    } else {
        RecordWriter(options.format, {"station"}).Row({Cell::Number(station)});
    }
    return kExitOk;
}

int RunParse(const Options& options) {
    int status = kExitOk;
    auto session = Session(options, status);
    if (!session) return status;
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
    if (options.types.empty()) mask = 0xFFFF;
    if (!RedirectOutput(options, status)) return status;
    std::string error;
    auto reg = session->Resolve(options.model, options.text, mask, error);
    if (!reg) {
        ReportDriverFailure("register '" + options.text + "'", error, session->ErrorCode());
        return kExitFailure;
    }
    RecordWriter out(options.format, {"register", "index", "type", "read_only"});
    out.Row({Cell::Text(reg->mnemonic), Cell::Number(reg->index),
             Cell::Text(qm4720::DataTypeName(static_cast<qm4720::DataType>(reg->type))),
             Cell::Bool(reg->readOnly)});
    return kExitOk;
}

int RunRegister(const Options& options) {
    if (!options.module.progId.empty()) {
        Diagnose("register: registration runs from the module file; use --module PATH");
        return kExitUsage;
    }
    int status = kExitOk;
    if (!RedirectOutput(options, status)) return status;
    std::string error;
    const std::string path =
        options.module.modulePath.empty() ? host::DefaultModulePath() : options.module.modulePath;
    auto module = host::LoadDriverModule(path, error);
    if (!module || module->RegisterServer() == nullptr) {
        Diagnose("cannot load " + path + ": " + (error.empty() ? "no DllRegisterServer" : error));
        return kExitModule;
    }
    const HRESULT hr = module->RegisterServer()();
    if (hr != S_OK) {
        char code[16];
        std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(hr));
        Diagnose(std::string("registration failed with status ") + code +
                 " (the registry could not be written)");
        return kExitFailure;
    }
    std::printf("registered QM4720.QM4720Pro -> %s\n", path.c_str());
    return kExitOk;
}

}  // namespace ctl
