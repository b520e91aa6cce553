// The qm4720d configuration that `probe --emit-config` writes for the line it probed: the stations
// that answered, each with the model that a telling read found, polled for PV, OP and SP, nothing
// writable, the HTTP and Modbus listeners on the loopback address. Pure text from plain data, so
// that a test feeds it directly.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "qm4720/qm4720.hpp"

namespace ctl {

// The registers to read to tell two models apart: the first of each table whose mnemonic the
// other model's table does not have, so that only a meter of that model answers it. "" when every
// mnemonic of a table is in the other one.
struct TellingRegisters {
    std::string defaultModel;  // answered only by a meter of the default model
    std::string qm4720n;       // answered only by a QM4720N
};
TellingRegisters FindTellingRegisters(std::span<const qm4720::Register> defaultTable,
                                      std::span<const qm4720::Register> qm4720nTable);

// One station that answered the probe.
struct ProbedStation {
    int station = 0;
    // "default" or "QM4720N"; nullopt: no telling read was answered (or both were).
    std::optional<std::string> model;
};

struct EmitSettings {
    std::string lineName;  // "" : the port's basename
    std::string port;      // as the file is to name it
    std::string portNote;  // "": none; else a comment above the line on why `port` is written so
    qm4720::LineSettings line;
    double intervalSeconds = 1.0;
    int httpPort = 8080;
    int modbusPort = 5020;       // 0: the listener is written commented out
    std::string probedStations;  // "0-99", for the header
    TellingRegisters telling;    // named in the header and beside an unknown station
};

// The TOML text. A station whose model is not known is written as a comment; with no station of
// a known model the whole [[line]] is, so that the file is still one qm4720d accepts.
std::string EmitConfig(const EmitSettings& settings, std::span<const ProbedStation> stations);

// "ttyUSB0" of "/dev/ttyUSB0"; "line" when the port has no name part.
std::string LineNameOf(std::string_view port);

// `text` as a TOML basic string, quotes included.
std::string TomlString(std::string_view text);

}  // namespace ctl
