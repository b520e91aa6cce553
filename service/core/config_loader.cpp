// The TOML file of qm4720d, checked key by key. Every refusal names the file, the line and the
// key; an unknown key is refused too, so that a misspelt one is never silently ignored.
#include <cmath>
#include <cstdio>
#include <map>
#include <optional>
#include <set>
#include <string_view>
#include <utility>

#include <toml++/toml.h>

#include "service/core/access_config.h"
#include "service/core/config_section.h"
#include "service/core/history_config.h"
#include "service/core/sparkplug_config.h"
#include "service/core/meter_config.h"
#include "service/core/service_config.h"

namespace service {
namespace {

ModbusListenerSettings ReadModbus(const Section& modbus) {
    modbus.OnlyKeys({"address", "port", "word_order", "format", "max_clients", "idle_timeout_s",
                     "write_clients"});
    ModbusListenerSettings s;
    s.address = modbus.String("address", s.address, false);
    s.port = static_cast<std::uint16_t>(modbus.Integer("port", 0, 1, 65535, true));
    const std::string order = modbus.String("word_order", "high-first", false);
    if (order == "high-first") {
        s.wordOrder = WordOrder::kHighWordFirst;
    } else if (order == "low-first") {
        s.wordOrder = WordOrder::kLowWordFirst;
    } else {
        modbus.Refuse("word_order",
                      "expected \"high-first\" or \"low-first\", got \"" + order + "\"");
    }
    const std::string format = modbus.String("format", "float32", false);
    if (format == "float32") {
        s.format = ModbusFormat::kFloat32;
    } else if (format == "int16") {
        s.format = ModbusFormat::kInt16;
    } else {
        modbus.Refuse("format", "expected \"float32\" or \"int16\", got \"" + format + "\"");
    }
    s.maxClients = static_cast<int>(modbus.Integer("max_clients", s.maxClients, 1, 1024));
    s.idleTimeout = modbus.Seconds("idle_timeout_s", s.idleTimeout, 86400);
    // Present, even empty, the list is the only clients that may write.
    if (modbus.Find("write_clients") != nullptr) {
        s.writeClients.emplace();
        for (const auto& [text, line] : modbus.Strings("write_clients")) {
            std::string why;
            const std::optional<AddressRange> range = ParseAddressRange(text, why);
            if (!range) throw Refusal{line, modbus.Key("write_clients"), why};
            s.writeClients->push_back(*range);
        }
    }
    return s;
}

HttpConfig ReadHttp(const Section& http) {
    // The second line's keys are read in access_config.cpp.
    http.OnlyKeys({"address", "port", "writes", "write_token", "chart_js", "tls_certificate",
                   "tls_key", "plain_on_network", "read_access", "read_tokens", "write_tokens",
                   "token_file"});
    HttpConfig h;
    h.address = http.String("address", h.address, false);
    h.port = static_cast<std::uint16_t>(http.Integer("port", 0, 1, 65535, true));
    h.writes = http.Boolean("writes", false);
    h.writeToken = http.String("write_token", "", false);
    if (http.Find("write_token") != nullptr) {
        if (const std::string problem = TokenProblem(h.writeToken); !problem.empty()) {
            http.Refuse("write_token", problem);
        }
    }
    h.chartJs = http.String("chart_js", h.chartJs, false);
    http.Throw(ReadHttpAccess(http.Raw(), h.address, h.writeToken, h.writes,
                              std::chrono::system_clock::now(), h.access));
    return h;
}

// A topic level of ours must not hold MQTT's separators or wildcards.
bool TopicSafe(std::string_view text) {
    return !text.empty() && text.find_first_of("/+#") == std::string_view::npos;
}

MqttConfig ReadMqtt(const Section& mqtt) {
    // The second line's keys are read in access_config.cpp.
    mqtt.OnlyKeys({"host",         "port",
                   "client_id",    "username",
                   "password",     "prefix",
                   "qos",          "keepalive_s",
                   "writes",       "queue_limit",
                   "tls_ca_file",  "tls_certificate",
                   "tls_key",      "allow_plain_password",
                   "payload",      "group_id",
                   "edge_node_id", "primary_host_id",
                   "replay_rate",  "replay_max_age_s"});
    MqttConfig m;
    m.host = mqtt.String("host", "", true);
    if (m.host.empty()) mqtt.Refuse("host", "expected a host name or address");
    m.port = static_cast<std::uint16_t>(mqtt.Integer("port", m.port, 1, 65535));
    m.clientId = mqtt.String("client_id", m.clientId, false);
    if (m.clientId.empty() || m.clientId.size() > 23) {
        mqtt.Refuse("client_id", "expected 1 to 23 characters");
    }
    m.username = mqtt.String("username", "", false);
    m.password = mqtt.String("password", "", false);
    m.prefix = mqtt.String("prefix", m.prefix, false);
    if (m.prefix.empty() || m.prefix.find_first_of("+#") != std::string::npos ||
        m.prefix.front() == '/' || m.prefix.back() == '/') {
        mqtt.Refuse("prefix",
                    "expected a topic without + or # that neither starts nor ends "
                    "with /, got \"" +
                        m.prefix + "\"");
    }
    m.qos = static_cast<int>(mqtt.Integer("qos", m.qos, 0, 1));
    m.keepalive = std::chrono::seconds(mqtt.Integer("keepalive_s", m.keepalive.count(), 5, 3600));
    m.writes = mqtt.Boolean("writes", false);
    m.queueLimit = static_cast<std::size_t>(
        mqtt.Integer("queue_limit", static_cast<std::int64_t>(m.queueLimit), 1, 10'000'000));
    mqtt.Throw(ReadMqttAccess(mqtt.Raw(), mqtt.Find("password") != nullptr,
                              std::chrono::system_clock::now(), m.access));
    m.sparkplug = ReadSparkplug(mqtt);
    m.replay = ReadMqttReplay(mqtt);
    return m;
}

LineConfig ReadLine(const RegisterChecker& checker, const Section& line) {
    line.OnlyKeys({"name", "port", "baud", "data_bits", "parity", "stop_bits", "reply_timeout_ms",
                   "silent_retry_s", "silent_retry_max_s", "meter", "modbus"});
    LineConfig l;
    l.name = line.String("name", "", true);
    if (l.name.empty()) line.Refuse("name", "expected a name that is not empty");
    // The name is a column of the history, a label of the metrics and a part of log lines.
    for (unsigned char c : l.name) {
        if (c < ' ' || c == 0x7F) {
            line.Refuse("name", "expected no control character (a line break, NUL, tab, ...)");
        }
    }
    l.port = line.String("port", "", true);
    if (const std::string why = PortProblem(l.port); !why.empty()) line.Refuse("port", why);
    qm4720::LineSettings& settings = l.settings;
    settings.baud = static_cast<int>(line.Integer("baud", settings.baud, 300, 9600));
    settings.dataBits = static_cast<int>(line.Integer("data_bits", settings.dataBits, 5, 8));
    const std::string parity = line.String("parity", qm4720::ParityName(settings.parity), false);
    // The whole name only: the letters that a line's settings text takes are not names.
    if (qm4720::ParseParity(parity, settings.parity) ||
        parity != qm4720::ParityName(settings.parity)) {
        line.Refuse("parity", "expected none, odd, even, mark or space, got \"" + parity + "\"");
    }
    settings.stopBits = static_cast<int>(line.Integer("stop_bits", settings.stopBits, 1, 2));
    // The driver holds the timeout in 16 bits and reads below 10 ms as 1000 ms.
    settings.replyTimeoutMs =
        static_cast<int>(line.Integer("reply_timeout_ms", settings.replyTimeoutMs, 10, 32767));
    l.silentRetryFirst = line.Seconds("silent_retry_s", l.silentRetryFirst, 3600);
    l.silentRetryLongest = line.Seconds("silent_retry_max_s",
                                        std::max(l.silentRetryLongest, l.silentRetryFirst), 86400);
    if (l.silentRetryLongest < l.silentRetryFirst) {
        line.Refuse("silent_retry_max_s", "expected at least silent_retry_s");
    }
    std::set<int> stations;
    for (const Section& meter : line.Tables("meter")) {
        l.meters.push_back(ReadMeter(checker, meter));
        if (!stations.insert(l.meters.back().station).second) {
            meter.Refuse("station", "station " + std::to_string(l.meters.back().station) +
                                        " is on this line twice");
        }
    }
    if (l.meters.empty()) line.Refuse("meter", "expected at least one [[line.meter]]");
    if (auto modbus = line.Table("modbus")) l.modbus = ReadModbus(*modbus);
    return l;
}

void ReadConfig(const RegisterChecker& checker, const Section& root, ServiceConfig& config) {
    root.OnlyKeys({"line", "history", "http", "mqtt"});
    if (auto history = root.Table("history")) {
        ReadHistoryTable(*history, config.history);
    }
    std::set<std::string> names, listeners;
    std::map<std::string, std::string> devices;  // identity -> the port as first written
    for (const Section& line : root.Tables("line")) {
        config.lines.push_back(ReadLine(checker, line));
        const LineConfig& l = config.lines.back();
        if (!names.insert(l.name).second) line.Refuse("name", "line \"" + l.name + "\" twice");
        const auto [device, added] = devices.emplace(PortIdentity(l.port), l.port);
        if (!added) {
            line.Refuse("port", "port " + l.port + " on two lines (the same device as " +
                                    device->second + ")");
        }
        const std::string at = l.modbus.address + ":" + std::to_string(l.modbus.port);
        if (l.modbus.port != 0 && !listeners.insert(at).second) {
            throw Refusal{line.Line(), line.Key("modbus.port"), at + " is used by two lines"};
        }
    }
    if (auto http = root.Table("http")) config.http = ReadHttp(*http);
    if (auto mqtt = root.Table("mqtt")) {
        config.mqtt = ReadMqtt(*mqtt);
        // Each line's name is a level of its topics.
        for (const Section& line : root.Tables("line")) {
            const std::string name = line.String("name", "", true);
            if (!TopicSafe(name)) {
                line.Refuse("name", "with [mqtt], a line's name must not hold / + or #");
            }
        }
    }
}

}  // namespace

bool LoadConfig(const std::string& path, qm4720::Driver& driver, const std::string& modulePath,
                ServiceConfig& config, std::string& error) {
    config = ServiceConfig{};
    config.path = path;
    try {
        const toml::table root = toml::parse_file(path);
        const Section top(root, "");
        ReadConfig(RegisterChecker{driver, modulePath}, top, config);
        top.Throw(ExposedSecret(path, root));
        return true;
    } catch (const toml::parse_error& e) {
        const auto& where = e.source();
        // Line 0: the file itself could not be read.
        error = path + (where.begin.line > 0 ? ":" + std::to_string(where.begin.line) : "") + ": " +
                std::string(e.description());
    } catch (const Refusal& r) {
        error = path + ":" + std::to_string(r.line) + ": " + r.key + ": " + r.what;
    }
    config = ServiceConfig{};
    return false;
}

}  // namespace service
