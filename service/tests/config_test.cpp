// The configuration file: every refusal names the file, the line and the key, and qm4720d
// --check-config refuses the same files with exit status 2; the shipped example passes.
#include <gtest/gtest.h>

#include "tests/support/sim_process.h"
#include "service/core/service_config.h"
#include "service/tests/service_fixture.h"

namespace {

using servicetest::ScratchDir;
using servicetest::WriteFile;

// A good file up to the poll table; each case adds or changes lines after it.
constexpr const char* kBase =
    "[[line]]\n"               // 1
    "name = \"a\"\n"           // 2
    "port = \"/tmp/qm-a\"\n"   // 3
    "[[line.meter]]\n"         // 4
    "station = 1\n"            // 5
    "[[line.meter.poll]]\n"    // 6
    "registers = [\"PV\"]\n";  // 7

struct Broken {
    const char* name;
    std::string text;
    int line;          // where the refusal points
    const char* key;   // the key it names ("" for a syntax error, which names none)
    const char* what;  // a piece of the reason
};

const Broken kBroken[] = {
    {"syntax", "[[line]]\nname = \"a\nport = 1\n", 2, "", ""},
    {"interval missing", kBase, 6, "line[0].meter[0].poll[0].interval_s", "missing"},
    {"unknown key at the top", std::string("colour = 1\n") + kBase + "interval_s = 1\n", 1,
     "colour", "unknown key"},
    {"misspelt key in a meter",
     std::string(kBase) + "interval_s = 1\n[[line.meter]]\nstatoin = 2\n", 10,
     "line[0].meter[1].statoin", "unknown key"},
    {"station out of range", std::string(kBase) + "interval_s = 1\n[[line.meter]]\nstation = 120\n",
     10, "line[0].meter[1].station", "0..99"},
    {"same station twice", std::string(kBase) + "interval_s = 1\n[[line.meter]]\nstation = 1\n", 10,
     "line[0].meter[1].station", "twice"},
    {"register the driver refuses",
     "[[line]]\nname = \"a\"\nport = \"/tmp/qm-a\"\n[[line.meter]]\nstation = 1\n"
     "[[line.meter.poll]]\ninterval_s = 1\nregisters = [\"PV\",\n  \"XQ\"]\n",
     9, "line[0].meter[0].poll[0].registers", "'XQ'"},
    {"read-only register writable",
     std::string(kBase) + "interval_s = 1\n[[line.meter]]\n"
                          "station = 2\nwritable = [\"PV\"]\n",
     11, "line[0].meter[1].writable", "read-only"},
    {"unknown model",
     std::string(kBase) + "interval_s = 1\n[[line.meter]]\nstation = 2\n"
                          "model = \"QM4720X\"\n",
     11, "line[0].meter[1].model", "QM4720N"},
    {"baud out of range",
     std::string(kBase) + "interval_s = 1\n[[line]]\nname = \"b\"\n"
                          "port = \"/tmp/qm-b\"\nbaud = 19200\n",
     12, "line[1].baud", "300..9600"},
    {"silent meter's longest wait below its first",
     std::string(kBase) + "interval_s = 1\n[[line]]\nname = \"b\"\n"
                          "port = \"/tmp/qm-b\"\nsilent_retry_s = 10\nsilent_retry_max_s = 5\n",
     13, "line[1].silent_retry_max_s", "at least silent_retry_s"},
    // The whole name only, as the file has always taken it.
    {"parity as a letter",
     std::string(kBase) + "interval_s = 1\n[[line]]\nname = \"b\"\n"
                          "port = \"/tmp/qm-b\"\nparity = \"e\"\n",
     12, "line[1].parity", "expected none, odd, even, mark or space, got \"e\""},
    {"parity in capitals",
     std::string(kBase) + "interval_s = 1\n[[line]]\nname = \"b\"\n"
                          "port = \"/tmp/qm-b\"\nparity = \"EVEN\"\n",
     12, "line[1].parity", "got \"EVEN\""},
    {"baud as text",
     std::string(kBase) + "interval_s = 1\n[[line]]\nname = \"b\"\n"
                          "port = \"/tmp/qm-b\"\nbaud = \"9600\"\n",
     12, "line[1].baud", "a whole number"},
    {"same port on two lines",
     std::string(kBase) + "interval_s = 1\n[[line]]\nname = \"b\"\n"
                          "port = \"/tmp/qm-a\"\n[[line.meter]]\nstation = 1\n",
     11, "line[1].port", "two lines"},
    {"interval zero", std::string(kBase) + "interval_s = 0\n", 8,
     "line[0].meter[0].poll[0].interval_s", "from 0.001"},
    {"word order",
     std::string(kBase) + "interval_s = 1\n[line.modbus]\nport = 5020\n"
                          "word_order = \"little\"\n",
     11, "line[0].modbus.word_order", "high-first"},
    {"Modbus format",
     std::string(kBase) + "interval_s = 1\n[line.modbus]\nport = 5020\nformat = \"int32\"\n", 11,
     "line[0].modbus.format", "\"float32\" or \"int16\""},
    {"register scale out of range",
     std::string(kBase) + "interval_s = 1\n[[line.meter.register]]\nname = \"PV\"\nscale = 7\n", 11,
     "line[0].meter[0].register[0].scale", "-4..6"},
    {"register scale not whole",
     std::string(kBase) + "interval_s = 1\n[[line.meter.register]]\nname = \"PV\"\nscale = 1.5\n",
     11, "line[0].meter[0].register[0].scale", "whole number"},
    {"Modbus write client by name",
     std::string(kBase) + "interval_s = 1\n[line.modbus]\nport = 5020\n"
                          "write_clients = [\"127.0.0.1\",\n  \"plc.local\"]\n",
     12, "line[0].modbus.write_clients", "no numeric IPv4 or IPv6 address"},
    {"Modbus write network with host bits",
     std::string(kBase) + "interval_s = 1\n[line.modbus]\nport = 5020\n"
                          "write_clients = [\"10.0.0.1/24\"]\n",
     11, "line[0].modbus.write_clients", "bits set past its /24"},
    {"Modbus write network prefix too long",
     std::string(kBase) + "interval_s = 1\n[line.modbus]\nport = 5020\n"
                          "write_clients = [\"10.0.0.0/33\"]\n",
     11, "line[0].modbus.write_clients", "from 0 to 32"},
    {"retention below zero",
     std::string(kBase) + "interval_s = 1\n[history]\n"
                          "database = \"h.db\"\nretention_days = -1\n",
     11, "history.retention_days", "days"},
    {"history deadband below zero",
     std::string(kBase) + "interval_s = 1\n[history]\n"
                          "database = \"h.db\"\ndeadband = -0.1\n",
     11, "history.deadband", "from 0"},
    {"history size bound of one MB",
     std::string(kBase) + "interval_s = 1\n[history]\n"
                          "database = \"h.db\"\nmax_size_mb = 1\n",
     11, "history.max_size_mb", "at least 2"},
    {"minute aggregates kept for no time",
     std::string(kBase) + "interval_s = 1\n[history]\n"
                          "database = \"h.db\"\nminute_retention_days = 0\n",
     11, "history.minute_retention_days", "days"},
    {"register heartbeat as text",
     std::string(kBase) + "interval_s = 1\n[[line.meter.register]]\nname = \"PV\"\n"
                          "heartbeat_s = \"60\"\n",
     11, "line[0].meter[0].register[0].heartbeat_s", "expected seconds"},
    {"HTTP writes without a token",
     std::string(kBase) + "interval_s = 1\n[http]\nport = 8080\nwrites = true\n", 11, "http.writes",
     "write_token"},
    {"HTTP write token too short",
     std::string(kBase) + "interval_s = 1\n[http]\nport = 8080\nwrites = true\n"
                          "write_token = \"secret\"\n",
     12, "http.write_token", "16 characters"},
    {"HTTP write token of blanks",
     std::string(kBase) + "interval_s = 1\n[http]\nport = 8080\nwrites = true\n"
                          "write_token = \"                \"\n",
     12, "http.write_token", "no blank"},
    {"line name with a line break",
     "[[line]]\nname = \"a\\nb\"\nport = \"/tmp/qm-a\"\n[[line.meter]]\nstation = 1\n", 2,
     "line[0].name", "control character"},
    {"line name with NUL",
     "[[line]]\nname = \"a\\u0000\"\nport = \"/tmp/qm-a\"\n[[line.meter]]\nstation = 1\n", 2,
     "line[0].name", "control character"},
    {"same port spelt twice",
     std::string(kBase) + "interval_s = 1\n[[line]]\nname = \"b\"\n"
                          "port = \"/tmp//qm-a\"\n[[line.meter]]\nstation = 1\n",
     11, "line[1].port", "same device as /tmp/qm-a"},
    {"same device by two names",
     "[[line]]\nname = \"a\"\nport = \"/dev/null\"\n[[line.meter]]\nstation = 1\n"
     "[[line]]\nname = \"b\"\nport = \"/dev/./null\"\n[[line.meter]]\nstation = 1\n",
     8, "line[1].port", "same device as /dev/null"},
    // A device server's port is one line, whichever way it is spoken to.
    {"same device server port on two lines",
     "[[line]]\nname = \"a\"\nport = \"tcp://Gw-7.plant:4001\"\n[[line.meter]]\nstation = 1\n"
     "[[line]]\nname = \"b\"\nport = \"rfc2217://gw-7.plant:4001\"\n[[line.meter]]\n"
     "station = 1\n",
     8, "line[1].port", "same device as tcp://Gw-7.plant:4001"},
    {"port longer than the driver takes, not a link",
     "[[line]]\nname = \"a\"\nport = \"/tmp/qm-a-port-whose-name-is-too-long\"\n"
     "[[line.meter]]\nstation = 1\n",
     3, "line[0].port", "37 characters and is not a link"},
    {"network port of another scheme",
     "[[line]]\nname = \"a\"\nport = \"udp://10.0.0.5:4001\"\n[[line.meter]]\nstation = 1\n", 3,
     "line[0].port", "expected tcp://HOST:PORT or rfc2217://HOST:PORT"},
    {"network port without its TCP port",
     "[[line]]\nname = \"a\"\nport = \"tcp://10.0.0.5\"\n[[line.meter]]\nstation = 1\n", 3,
     "line[0].port", "HOST:PORT"},
    {"network port out of range",
     "[[line]]\nname = \"a\"\nport = \"rfc2217://10.0.0.5:65536\"\n[[line.meter]]\n"
     "station = 1\n",
     3, "line[0].port", "1..65535"},
    {"network port with an empty host",
     "[[line]]\nname = \"a\"\nport = \"tcp://:4001\"\n[[line.meter]]\nstation = 1\n", 3,
     "line[0].port", "host name or address"},
    {"HTTP without a port", std::string(kBase) + "interval_s = 1\n[http]\naddress = \"::1\"\n", 9,
     "http.port", "missing"},
    {"MQTT prefix with a wildcard",
     std::string(kBase) + "interval_s = 1\n[mqtt]\nhost = \"127.0.0.1\"\nprefix = \"plant/#\"\n",
     11, "mqtt.prefix", "without + or #"},
    {"MQTT quality of service 2",
     std::string(kBase) + "interval_s = 1\n[mqtt]\nhost = \"127.0.0.1\"\nqos = 2\n", 11, "mqtt.qos",
     "0..1"},
    {"MQTT replay rate too low",
     std::string(kBase) + "interval_s = 1\n[mqtt]\nhost = \"h\"\nreplay_rate = 0\n", 11,
     "mqtt.replay_rate", "10..1000000"},
    {"MQTT replay age negative",
     std::string(kBase) + "interval_s = 1\n[mqtt]\nhost = \"h\"\nreplay_max_age_s = -1\n", 11,
     "mqtt.replay_max_age_s", "0.."},
    {"MQTT payload neither JSON nor Sparkplug B",
     std::string(kBase) + "interval_s = 1\n[mqtt]\nhost = \"h\"\npayload = \"xml\"\n", 11,
     "mqtt.payload", "\"json\" or \"sparkplug-b\""},
    {"Sparkplug B without a group",
     std::string(kBase) + "interval_s = 1\n[mqtt]\nhost = \"h\"\npayload = \"sparkplug-b\"\n"
                          "edge_node_id = \"n\"\n",
     9, "mqtt.group_id", "missing"},
    {"Sparkplug B edge node with a topic separator",
     std::string(kBase) + "interval_s = 1\n[mqtt]\nhost = \"h\"\npayload = \"sparkplug-b\"\n"
                          "group_id = \"g\"\nedge_node_id = \"n/1\"\n",
     13, "mqtt.edge_node_id", "without / + or #"},
    {"Sparkplug B's ids with the JSON payload",
     std::string(kBase) + "interval_s = 1\n[mqtt]\nhost = \"h\"\nprimary_host_id = \"s\"\n", 11,
     "mqtt.primary_host_id", "only with payload = \"sparkplug-b\""},
    {"register settings for a register not polled",
     std::string(kBase) + "interval_s = 1\n[[line.meter.register]]\nname = \"OP\"\n", 10,
     "line[0].meter[0].register[0].name", "neither polled nor writable"},
    {"register settings twice",
     std::string(kBase) + "interval_s = 1\n[[line.meter.register]]\nname = \"PV\"\n"
                          "[[line.meter.register]]\nname = \"PV\"\n",
     12, "line[0].meter[0].register[1].name", "two [[line.meter.register]]"},
    {"register label with a line break",
     std::string(kBase) + "interval_s = 1\n[[line.meter.register]]\nname = \"PV\"\n"
                          "label = \"a\\nb\"\n",
     11, "line[0].meter[0].register[0].label", "control character"},
    {"MQTT and a line name that splits a topic",
     "[[line]]\nname = \"hall/a\"\nport = \"/tmp/qm-a\"\n[[line.meter]]\nstation = 1\n"
     "[[line.meter.poll]]\nregisters = [\"PV\"]\ninterval_s = 1\n[mqtt]\nhost = \"h\"\n",
     2, "line[0].name", "must not hold"},
};

class ConfigFile : public ::testing::Test {
protected:
    void SetUp() override {
        const qm4720::Error loaded = driver_.Load(QM_MODULE_PATH, "");
        ASSERT_FALSE(loaded) << loaded.message;
    }
    qm4720::Driver driver_;
    ScratchDir dir_;
};

TEST_F(ConfigFile, EachBrokenFileIsRefusedWithFileLineAndKey) {
    for (const Broken& c : kBroken) {
        SCOPED_TRACE(c.name);
        const std::string path = dir_ / "broken.toml";
        WriteFile(path, c.text);
        const std::string where = path + ":" + std::to_string(c.line) + ": " + c.key;

        service::ServiceConfig config;
        std::string error;
        EXPECT_FALSE(service::LoadConfig(path, driver_, QM_MODULE_PATH, config, error));
        EXPECT_EQ(error.rfind(where, 0), 0u) << error;
        EXPECT_NE(error.find(c.what), std::string::npos) << error;

        std::string startError;
        const std::string log = dir_ / "check.log";
        auto check =
            host::StartChild({QM_SERVICE_PATH, "--check-config", path, "--module", QM_MODULE_PATH},
                             startError, {log});
        ASSERT_NE(check, nullptr) << startError;
        EXPECT_EQ(check->Wait(10000), 2);
        EXPECT_NE(servicetest::ReadFile(log).find(where), std::string::npos)
            << servicetest::ReadFile(log);
    }
}

// A link to a device (as in /dev/serial/by-id) is that device: two lines cannot share it.
TEST_F(ConfigFile, ALinkToAnotherLinesDeviceIsRefused) {
    const std::string link = dir_ / "by-id";
    std::filesystem::create_symlink("/dev/null", link);
    const std::string path = dir_ / "linked.toml";
    WriteFile(path,
              "[[line]]\nname = \"a\"\nport = \"/dev/null\"\n[[line.meter]]\nstation = 1\n"
              "[[line]]\nname = \"b\"\nport = \"" +
                  link + "\"\n[[line.meter]]\nstation = 1\n");
    service::ServiceConfig config;
    std::string error;
    EXPECT_FALSE(service::LoadConfig(path, driver_, QM_MODULE_PATH, config, error));
    EXPECT_EQ(error, path + ":8: line[1].port: port " + link +
                         " on two lines (the same device as /dev/null)");
}

// A device server's port is named by its host and TCP port, whatever the scheme and the case of
// the name; a long stable link that is not there now is taken (the adapter may be unplugged).
TEST(PortNames, NetworkPortsAreOneLinePerServerPortAndLongLinksAreTaken) {
    struct Case {
        const char* first;
        const char* second;
        bool same;
    };
    const Case cases[] = {
        {"tcp://10.0.4.21:4001", "rfc2217://10.0.4.21:4001", true},
        {"tcp://GW-7.plant:4001", "tcp://gw-7.plant:4001", true},
        {"tcp://[fd00::7]:4001", "rfc2217://[FD00::7]:4001", true},
        {"tcp://10.0.4.21:4001", "tcp://10.0.4.21:4002", false},
        {"tcp://10.0.4.21:4001", "tcp://10.0.4.22:4001", false},
        // A path that happens to hold the text of a host is not that server.
        {"tcp://10.0.4.21:4001", "/tmp/tcp:/10.0.4.21:4001", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.first) + " / " + c.second);
        EXPECT_EQ(service::PortProblem(c.first), "");
        EXPECT_EQ(service::PortIdentity(c.first) == service::PortIdentity(c.second), c.same);
    }
    EXPECT_NE(service::PortProblem("tcp://[fd00::7]4001").find("[IPv6-ADDRESS]:PORT"),
              std::string::npos);
    EXPECT_EQ(service::PortProblem("/dev/serial/by-id/usb-QM_RS485_Adapter_A10KX7Q2-if00-port0"),
              "");
}

// The place of the database is a fact of the machine the file is checked on, which the unit's
// StateDirectory= may yet change: said by --check-config, which still passes the file.
TEST_F(ConfigFile, CheckConfigSaysWhereTheHistoryCannotBeKept) {
    WriteFile(dir_ / "plain", "");
    const std::pair<std::string, std::string> cases[] = {
        {dir_ / "missing/h.db", "its folder " + dir_ / "missing" + " cannot be used"},
        {dir_ / "plain/h.db", dir_ / "plain is not a folder"},
        {dir_ / "h.db", "under a temporary folder"},
    };
    for (const auto& [database, warning] : cases) {
        SCOPED_TRACE(database);
        const std::string path = dir_ / "placed.toml";
        WriteFile(path, std::string(kBase) + "interval_s = 1\n[history]\ndatabase = \"" + database +
                            "\"\n");
        const std::string log = dir_ / "check.log";
        std::string startError;
        auto check =
            host::StartChild({QM_SERVICE_PATH, "--check-config", path, "--module", QM_MODULE_PATH},
                             startError, {log});
        ASSERT_NE(check, nullptr) << startError;
        EXPECT_EQ(check->Wait(10000), 0);
        const std::string said = servicetest::ReadFile(log);
        EXPECT_NE(said.find(path + ": warning: history.database " + database), std::string::npos)
            << said;
        EXPECT_NE(said.find(warning), std::string::npos) << said;
    }
}

// XP has another place in the QM4720N's table than in the default one: each meter's registers are
// resolved against its own model, also after a meter of another model.
TEST_F(ConfigFile, EachMeterIsReadAgainstItsModelAndTheLineSettingsAreTyped) {
    const std::string path = dir_ / "models.toml";
    WriteFile(path,
              "[[line]]\nname = \"a\"\nport = \"/tmp/qm-a\"\nparity = \"even\"\ndata_bits = 7\n"
              "[[line.meter]]\nstation = 1\n[[line.meter.poll]]\nregisters = [\"XP\"]\n"
              "interval_s = 1\n"
              "[[line.meter]]\nstation = 12\nmodel = \"QM4720N\"\n[[line.meter.poll]]\n"
              "registers = [\"XP\"]\ninterval_s = 1\n"
              "[[line.meter]]\nstation = 2\nwritable = [\"XP\"]\n"
              "[[line.meter.register]]\nname = \"XP\"\nlabel = \"Setpoint\"\nunit = \"°C\"\n"
              "scale = -2\n"
              "[line.modbus]\nport = 5020\nidle_timeout_s = 0.5\nformat = \"int16\"\n");
    service::ServiceConfig config;
    std::string error;
    ASSERT_TRUE(service::LoadConfig(path, driver_, QM_MODULE_PATH, config, error)) << error;
    const auto& meters = config.lines.at(0).meters;
    ASSERT_EQ(meters.size(), 3u);
    EXPECT_EQ(meters[0].polled.at(0).reg.index, 29);
    EXPECT_EQ(meters[1].polled.at(0).reg.index, 36);
    EXPECT_EQ(meters[2].writable.at(0).index, 29);
    ASSERT_NE(meters[2].Options(29), nullptr);
    EXPECT_EQ(meters[2].Options(29)->label, "Setpoint");
    EXPECT_EQ(meters[2].Options(29)->unit, "°C");
    EXPECT_EQ(meters[2].Options(29)->scale, -2);
    EXPECT_EQ(config.lines[0].modbus.format, service::ModbusFormat::kInt16);
    EXPECT_EQ(meters[0].Options(29), nullptr);
    const qm4720::LineSettings& settings = config.lines[0].settings;
    EXPECT_EQ(settings.parity, qm4720::Parity::kEven);
    EXPECT_EQ(settings.dataBits, 7);
    EXPECT_EQ(settings.replyTimeoutMs, 1500);  // the service's own default, not the driver's
    // Half a second is half a second, not 0 (which would be no limit at all).
    EXPECT_EQ(config.lines[0].modbus.idleTimeout, std::chrono::milliseconds(500));
}

// The file the package installs as /etc/qm4720d.toml: read as it is, with its lines commented out,
// the history where the unit lets the service write and HTTP on the loopback address only.
TEST_F(ConfigFile, TheInstalledConfigurationIsReadAsItIs) {
    service::ServiceConfig config;
    std::string error;
    ASSERT_TRUE(service::LoadConfig(QM_SOURCE_DIR "/packaging/qm4720d.toml", driver_,
                                    QM_MODULE_PATH, config, error))
        << error;
    EXPECT_TRUE(config.lines.empty());
    EXPECT_EQ(config.history.database, "/var/lib/qm4720d/history.db");
    EXPECT_EQ(config.http.address, "127.0.0.1");
    EXPECT_NE(config.http.port, 0);
}

TEST_F(ConfigFile, TheExampleAndTheDefaultsAreRead) {
    service::ServiceConfig config;
    std::string error;
    ASSERT_TRUE(service::LoadConfig(QM_SOURCE_DIR "/examples/qm4720d.toml", driver_, QM_MODULE_PATH,
                                    config, error))
        << error;
    ASSERT_EQ(config.lines.size(), 2u);
    const service::MeterConfig& qm = config.lines[0].meters[1];
    EXPECT_EQ(qm.model, "QM4720N");
    EXPECT_EQ(qm.polled[0].allowedAge, 3 * qm.polled[0].interval);  // three intervals by default
    EXPECT_EQ(config.lines[0].meters[0].writable.at(0).mnemonic, "SP");
    // Only the port given: the listener's defaults.
    const service::ModbusListenerSettings& listener = config.lines[1].modbus;
    EXPECT_EQ(listener.port, 5021);
    EXPECT_EQ(listener.address, "127.0.0.1");
    EXPECT_EQ(listener.wordOrder, service::WordOrder::kHighWordFirst);
    EXPECT_EQ(listener.maxClients, 16);
    EXPECT_EQ(listener.idleTimeout, std::chrono::seconds(60));
    EXPECT_EQ(listener.format, service::ModbusFormat::kFloat32);
    EXPECT_EQ(config.lines[1].settings.baud, 9600);

    std::string startError;
    auto check =
        host::StartChild({QM_SERVICE_PATH, "--check-config", QM_SOURCE_DIR "/examples/qm4720d.toml",
                          "--module", QM_MODULE_PATH},
                         startError);
    ASSERT_NE(check, nullptr) << startError;
    EXPECT_EQ(check->Wait(10000), 0);
}

}  // namespace
