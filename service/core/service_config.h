// What qm4720d runs, as read from its TOML file: the serial lines, the meters on each line, the
// registers polled on each meter and how often, the registers that may be written, the history
// database, and each line's Modbus listener. Every register is already resolved against its
// model's table by the driver itself, so a worker never meets a name the driver refuses.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "qm4720/qm4720.hpp"
#include "service/core/access_settings.h"
#include "service/core/forward_config.h"
#include "service/core/meter_gateway.h"
#include "service/core/sparkplug_config.h"

namespace service {

struct PolledRegister {
    qm4720::Register reg;
    std::chrono::milliseconds interval{1000};
    std::chrono::milliseconds allowedAge{3000};  // three intervals unless configured
};

// The powers of ten a register's `scale` may be.
inline constexpr int kMinModbusScale = -4;
inline constexpr int kMaxModbusScale = 6;

// What the file says of one register beyond polling it ([[line.meter.register]]).
struct RegisterOptions {
    qm4720::Register reg;
    std::string label;  // "": none
    std::string unit;   // "": none
    // With a line's Modbus format int16: the value is served as value x 10^scale. nullopt: the
    // register's type says (a FLOAT has 1, any other 0).
    std::optional<int> scale;
    // The history's storing of this register, when it differs from [history]'s.
    std::optional<double> deadband;
    std::optional<std::chrono::milliseconds> heartbeat;
};

struct MeterConfig {
    std::int16_t station = 0;
    std::string model;  // as the driver takes it: "" for the default model, or "QM4720N"
    std::vector<PolledRegister> polled;
    std::vector<qm4720::Register> writable;
    std::vector<RegisterOptions> options;  // at most one for each register

    // The options of the register at `index`; null when the file gives none.
    const RegisterOptions* Options(int index) const {
        for (const RegisterOptions& o : options) {
            if (o.reg.index == index) return &o;
        }
        return nullptr;
    }
};

struct LineConfig {
    std::string name;
    std::string port;
    // The meters' factory settings, but a longer reply timeout than the driver's own.
    qm4720::LineSettings settings{.replyTimeoutMs = 1500};
    // A meter that stopped answering is asked again after the first wait, which doubles at
    // every retry it does not answer, up to the longest.
    std::chrono::milliseconds silentRetryFirst{5000};
    std::chrono::milliseconds silentRetryLongest{60000};
    std::vector<MeterConfig> meters;
    ModbusListenerSettings modbus;
};

struct HistoryConfig {
    std::string database;  // "" : no history is kept
    std::chrono::milliseconds retention{std::chrono::hours(24 * 30)};
    // A reading is stored when it moved by more than `deadband` since the last stored, or the
    // last stored is `heartbeat` old (0: never); with both 0, every reading.
    double deadband = 0;
    std::chrono::milliseconds heartbeat{0};
    std::chrono::milliseconds minuteRetention{std::chrono::hours(24 * 7)};
    std::chrono::milliseconds hourRetention{std::chrono::hours(24 * 365)};
    std::uint64_t maxSizeMb = 0;  // 0: no bound but the age
};

// The web page, the JSON interface and the Prometheus metrics ([http]).
struct HttpConfig {
    std::string address = "127.0.0.1";
    std::uint16_t port = 0;  // 0: no HTTP server
    bool writes = false;     // POST /api/v1/write accepted at all
    std::string writeToken;  // a write token, kept as the file has always given it
    std::string chartJs = "/usr/share/javascript/chart.js/chart.min.js";  // served as /chart.js
    HttpAccess access;  // TLS and tokens; writeToken is one of its tokens
};

// Every new reading published to an MQTT broker ([mqtt]).
struct MqttConfig {
    std::string host;  // "": no MQTT
    std::uint16_t port = 1883;
    std::string clientId = "qm4720d";
    std::string username;
    std::string password;
    std::string prefix = "qm4720";  // topics PREFIX/LINE/STATION/REGISTER, PREFIX/status
    int qos = 1;
    std::chrono::seconds keepalive{30};
    bool writes = false;             // PREFIX/LINE/STATION/REGISTER/set accepted at all
    std::size_t queueLimit = 10000;  // messages kept while the broker is away; oldest dropped
    MqttAccess access;               // TLS to the broker
    SparkplugConfig sparkplug;       // payload = "sparkplug-b" in place of the JSON topics
    MqttReplayConfig replay;         // with [history]: what the broker missed, sent again
};

struct ServiceConfig {
    std::string path;  // the file it was read from
    std::vector<LineConfig> lines;
    HistoryConfig history;
    HttpConfig http;
    MqttConfig mqtt;
};

// Reads and checks `path`; register names go through the ParseRegister of `driver`, which has the
// module of `modulePath` loaded (each meter's model is loaded in turn; the last one stays). False
// with `error` set to "FILE:LINE: KEY: what is wrong" ("FILE: why" when it could not be read) when
// the file is refused; nothing of it is then to be used.
bool LoadConfig(const std::string& path, qm4720::Driver& driver, const std::string& modulePath,
                ServiceConfig& config, std::string& error);

// What names the device of a line's `port`: the device number of a character device, else the
// resolved path, else the path normalised; for a device server (tcp://, rfc2217://) its host and
// port. Two lines with the same identity share one device.
std::string PortIdentity(const std::string& port);

// Why a line cannot use `port`, "" when it can: a malformed tcp:// or rfc2217:// name, or a
// device name longer than the driver's 31 characters that is not a link (a link, such as
// /dev/serial/by-id/..., may be of any length: it is followed to its device at each open).
std::string PortProblem(const std::string& port);

// What is wrong with where `history` keeps its database that only the running system shows: a
// folder that does not exist or cannot be written, a path under /tmp (which the unit makes
// private and empties at every stop). Empty when nothing is.
std::vector<std::string> HistoryPlaceWarnings(const HistoryConfig& history);

}  // namespace service
