#include "tools/ctl/emit_config.h"

#include <algorithm>
#include <cstdio>

namespace ctl {

namespace {

std::string FirstNotIn(std::span<const qm4720::Register> table,
                       std::span<const qm4720::Register> other) {
    for (const qm4720::Register& entry : table) {
        const bool shared = std::any_of(other.begin(), other.end(), [&](const auto& o) {
            return o.mnemonic == entry.mnemonic;
        });
        if (!shared) return entry.mnemonic;
    }
    return {};
}

// A number as TOML takes it: no exponent and no trailing zeros ("0.5", "2", "0.25").
std::string TomlNumber(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", value);
    std::string out = text;
    out.erase(out.find_last_not_of('0') + 1);
    if (out.back() == '.') out.pop_back();
    return out;
}

std::string StationBlock(const ProbedStation& probed, double interval) {
    std::string out = "    [[line.meter]]\n";
    out += "    station = " + std::to_string(probed.station) + "\n";
    out += "    model = " + TomlString(*probed.model) + "\n";
    out += "        [[line.meter.poll]]\n";
    out += "        registers = [\"PV\", \"OP\", \"SP\"]\n";
    out += "        interval_s = " + TomlNumber(interval) + "\n";
    return out;
}

// Every line of `text` commented out.
std::string Commented(const std::string& text) {
    std::string out;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find('\n', start);
        out += "# " + text.substr(start, end - start) + "\n";
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return out;
}

}  // namespace

TellingRegisters FindTellingRegisters(std::span<const qm4720::Register> defaultTable,
                                      std::span<const qm4720::Register> qm4720nTable) {
    return {FirstNotIn(defaultTable, qm4720nTable), FirstNotIn(qm4720nTable, defaultTable)};
}

std::string LineNameOf(std::string_view port) {
    while (!port.empty() && (port.back() == '/' || port.back() == '\\')) port.remove_suffix(1);
    const std::size_t slash = port.find_last_of("/\\");
    const std::string_view name = slash == std::string_view::npos ? port : port.substr(slash + 1);
    return name.empty() ? "line" : std::string(name);
}

std::string TomlString(std::string_view text) {
    std::string out = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20 || byte == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04X", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string EmitConfig(const EmitSettings& settings, std::span<const ProbedStation> stations) {
    const std::string name =
        settings.lineName.empty() ? LineNameOf(settings.port) : settings.lineName;
    const qm4720::LineSettings& line = settings.line;
    std::string out;
    out += "# qm4720d configuration written by qm4720ctl probe --emit-config.\n";
    out += "# Probed stations " + settings.probedStations + " on " + settings.port + ": ";
    out += std::to_string(stations.size()) + " answered. A meter's model is the one whose\n";
    out += "# telling register it answered: " + settings.telling.defaultModel +
           " (only the default model has it) or " + settings.telling.qm4720n +
           " (only the QM4720N).\n";
    out += "# Nothing is writable: add `writable = [\"SP\"]` to a meter to allow it.\n";
    out += "# Check it with: qm4720d --check-config FILE\n\n";

    out += "[http]\naddress = \"127.0.0.1\"\nport = " + std::to_string(settings.httpPort) + "\n\n";

    if (!settings.portNote.empty()) out += "# " + settings.portNote + "\n";
    std::string block = "[[line]]\n";
    block += "name = " + TomlString(name) + "\n";
    block += "port = " + TomlString(settings.port) + "\n";
    block += "baud = " + std::to_string(line.baud) + "\n";
    block += "data_bits = " + std::to_string(line.dataBits) + "\n";
    block += "parity = " + TomlString(qm4720::ParityName(line.parity)) + "\n";
    block += "stop_bits = " + std::to_string(line.stopBits) + "\n";
    block += "reply_timeout_ms = " + std::to_string(line.replyTimeoutMs) + "\n";
    const std::string modbus =
        "    [line.modbus]\n    address = \"127.0.0.1\"\n    port = " +
        std::to_string(settings.modbusPort == 0 ? 5020 : settings.modbusPort) + "\n";
    block += settings.modbusPort == 0 ? Commented(modbus) : modbus;

    bool anyKnown = false;
    for (const ProbedStation& probed : stations) {
        if (probed.model) {
            block += StationBlock(probed, settings.intervalSeconds);
            anyKnown = true;
        } else {
            block += "    # station " + std::to_string(probed.station) +
                     ": model unknown (it answered, but neither " + settings.telling.defaultModel +
                     " nor " + settings.telling.qm4720n + " told its model)\n";
            block += Commented(
                "    [[line.meter]]\n    station = " + std::to_string(probed.station) + "\n");
        }
    }
    if (!anyKnown) {
        out += "# No station of a known model answered: the line is left out.\n";
        block = Commented(block);
    }
    return out + block;
}

}  // namespace ctl
