// The MQTT publisher against a real broker (Debian's mosquitto on a loopback port): retained
// readings, the status topic, and the bounded queue while the broker is away and after it is back;
// over TLS, a broker whose certificate is not of the CA or not of the host is never published to.
#include "service/mqtt/mqtt_publisher.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <thread>

#include "host/oskit/child_process.h"
#include "tests/support/free_port.h"
#include "tests/support/mosquitto_broker.h"

namespace service {
namespace {

using testing::FreeLoopbackPort;
using testing::MosquittoBroker;

bool WaitFor(const std::function<bool()>& done, std::chrono::seconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

std::map<std::string, std::string> RetainedNow(std::uint16_t port, const std::string& prefix);

// What the broker keeps retained under `prefix`, topic by topic, once `awaited` is among them
// (a message still on its way would reach mosquitto_sub as a live one, not a retained one).
std::map<std::string, std::string> Retained(std::uint16_t port, const std::string& prefix,
                                            const std::string& awaited) {
    std::map<std::string, std::string> retained;
    WaitFor(
        [&] {
            retained = RetainedNow(port, prefix);
            return retained.count(awaited) != 0;
        },
        std::chrono::seconds(5));
    return retained;
}

std::map<std::string, std::string> RetainedNow(std::uint16_t port, const std::string& prefix) {
    const std::string out = testing::RunAndRead({testing::kMosquittoSubPath, "-h", "127.0.0.1",
                                                 "-p", std::to_string(port), "-t", prefix + "/#",
                                                 "-v", "--retained-only", "-W", "1"});
    std::map<std::string, std::string> retained;
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        const std::size_t space = line.find(' ');
        retained[line.substr(0, space)] = space == std::string::npos ? "" : line.substr(space + 1);
    }
    return retained;
}

LiveCell Reading(std::int16_t station, const char* mnemonic, double value) {
    LiveCell cell;
    cell.station = station;
    cell.mnemonic = mnemonic;
    cell.answered = cell.ok = cell.everGood = true;
    cell.value = value;
    cell.quality = 192;
    cell.utcMs = UtcNowMs();
    return cell;
}

TEST(MqttPublisher, RetainedReadingsAndTheQueueWhileTheBrokerIsAway) {
    MosquittoBroker broker(FreeLoopbackPort());
    ASSERT_TRUE(broker.Start());
    ServiceConfig config;
    config.mqtt.host = "127.0.0.1";
    config.mqtt.port = broker.port();
    config.mqtt.prefix = "t/qm";
    config.mqtt.queueLimit = 20;
    auto publisher = std::make_unique<MqttPublisher>(config);
    publisher->Start();
    ASSERT_TRUE(WaitFor([&] { return publisher->Counters().connected; }, std::chrono::seconds(5)));

    publisher->Publish("a", Reading(1, "PV", 1.5));
    ASSERT_TRUE(
        WaitFor([&] { return publisher->Counters().published == 1; }, std::chrono::seconds(5)));
    auto retained = Retained(broker.port(), "t/qm", "t/qm/a/1/PV");
    EXPECT_EQ(retained["t/qm/status"], "online");
    EXPECT_NE(retained["t/qm/a/1/PV"].find("\"value\":1.5"), std::string::npos)
        << retained["t/qm/a/1/PV"];

    // The broker dies and loses everything: 50 readings come meanwhile, the newest 20 are kept.
    broker.Kill();
    ASSERT_TRUE(WaitFor([&] { return !publisher->Counters().connected; }, std::chrono::seconds(5)));
    for (std::int16_t station = 1; station <= 50; ++station) {
        publisher->Publish("a", Reading(station, "SP", station));
    }
    MqttCounters away = publisher->Counters();
    EXPECT_EQ(away.queued, 20u);
    EXPECT_EQ(away.dropped, 30u);
    EXPECT_EQ(away.published, 1u);

    ASSERT_TRUE(broker.Start());
    ASSERT_TRUE(WaitFor(
        [&] {
            const MqttCounters c = publisher->Counters();
            return c.connected && c.queued == 0 && c.published == 21;
        },
        std::chrono::seconds(20)));
    MqttCounters back = publisher->Counters();
    EXPECT_EQ(back.reconnects, 1u);
    EXPECT_EQ(back.dropped, 30u);
    retained = Retained(broker.port(), "t/qm", "t/qm/a/50/SP");
    EXPECT_EQ(retained["t/qm/status"], "online");
    for (int station = 1; station <= 50; ++station) {
        const std::string topic = "t/qm/a/" + std::to_string(station) + "/SP";
        EXPECT_EQ(retained.count(topic), station > 30 ? 1u : 0u) << topic;
    }

    // A clean stop says "offline" itself.
    publisher.reset();
    EXPECT_EQ(RetainedNow(broker.port(), "t/qm")["t/qm/status"], "offline");
}

// Readings that come before the broker is there wait for it.
TEST(MqttPublisher, ConnectsWhenTheBrokerComesLater) {
    MosquittoBroker broker(FreeLoopbackPort());
    ServiceConfig config;
    config.mqtt.host = "127.0.0.1";
    config.mqtt.port = broker.port();
    config.mqtt.prefix = "late";
    config.mqtt.qos = 0;
    MqttPublisher publisher(config);
    publisher.Publish("a", Reading(3, "PV", -2.25));
    publisher.Start();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_FALSE(publisher.Counters().connected);
    EXPECT_EQ(publisher.Counters().queued, 1u);

    ASSERT_TRUE(broker.Start());
    ASSERT_TRUE(
        WaitFor([&] { return publisher.Counters().published == 1; }, std::chrono::seconds(10)));
    EXPECT_EQ(publisher.Counters().reconnects, 0u);
    auto retained = Retained(broker.port(), "late", "late/a/3/PV");
    EXPECT_EQ(retained["late/status"], "online");
    EXPECT_NE(retained["late/a/3/PV"].find("\"value\":-2.25"), std::string::npos)
        << retained["late/a/3/PV"];
}

struct TlsCase {
    const char* what;
    const char* brokerCertificate;  // of the certificates' folder, with its .key
    const char* ca;
    const char* host;
    bool connects;
};

TEST(MqttPublisher, OverTlsPublishesOnlyToABrokerOfTheCaAndTheHost) {
    char folder[] = "/tmp/qm-mqtt-tls-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::string dir = folder;
    std::string error;
    auto made = host::StartChild({"/bin/sh", QM_CERTIFICATE_SCRIPT, dir}, error);
    ASSERT_NE(made, nullptr) << error;
    ASSERT_EQ(made->Wait(60000), 0) << "openssl could not make the certificates";
    // The broker gives up root before it reads them.
    chmod(dir.c_str(), 0755);
    for (const auto& file : std::filesystem::directory_iterator(dir)) {
        chmod(file.path().c_str(), 0644);
    }
    const TlsCase cases[] = {
        {"the CA's certificate for the host", "server", "ca", "127.0.0.1", true},
        {"the same by the name localhost", "server", "ca", "localhost", true},
        {"a CA the broker's certificate is not of", "server", "rogue-ca", "127.0.0.1", false},
        {"a certificate of the CA for another host", "wronghost", "ca", "127.0.0.1", false},
    };
    for (const TlsCase& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string certificate = dir + "/" + c.brokerCertificate;
        MosquittoBroker broker(FreeLoopbackPort(), "cafile " + dir + "/ca.pem\ncertfile " +
                                                       certificate + ".pem\nkeyfile " +
                                                       certificate + ".key\n");
        ASSERT_TRUE(broker.Start());
        ServiceConfig config;
        config.mqtt.host = c.host;
        config.mqtt.port = broker.port();
        config.mqtt.prefix = "tls";
        config.mqtt.access.tlsCaFile = dir + "/" + c.ca + ".pem";
        MqttPublisher publisher(config);
        publisher.Publish("a", Reading(1, "PV", 21.5));
        publisher.Start();
        const bool published = WaitFor([&] { return publisher.Counters().published == 1; },
                                       std::chrono::seconds(c.connects ? 10 : 2));
        EXPECT_EQ(published, c.connects);
        EXPECT_EQ(publisher.Counters().connected, c.connects);
    }
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace service
