// qm4720_modbus_fake_server: the Modbus server over the fixed line of fake_gateway.h, for the
// tests that point real Modbus clients at it. Each --listen is one listener over that line (as
// qm4720d has one per serial line), each with its own word order. Prints "listening on
// ADDRESS:PORT" for each once they accept connections, stops cleanly on SIGTERM or SIGINT (exit 0)
// and then prints the writes that reached the gateway.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <list>
#include <string>
#include <vector>

#include "service/modbus/modbus_server.h"
#include "tests/support/fake_gateway.h"

namespace {

constexpr const char* kUsage =
    "usage: qm4720_modbus_fake_server --listen PORT[:high|:low]... [--address ADDR]\n"
    "                                 [--max-clients N] [--idle-timeout S] [--write-delay-ms MS]\n";

bool ParseNumber(const char* text, long low, long high, long& value) {
    char* end = nullptr;
    value = std::strtol(text, &end, 10);
    return end != text && *end == '\0' && value >= low && value <= high;
}

}  // namespace

int main(int argc, char** argv) {
    service::ModbusListenerSettings settings;
    std::vector<std::pair<std::uint16_t, service::WordOrder>> listeners;
    long writeDelayMs = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--help" || option == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (i + 1 >= argc) {
            std::fprintf(stderr, "%s needs a value\n%s", option.c_str(), kUsage);
            return 2;
        }
        const char* value = argv[++i];
        long number = 0;
        bool ok = true;
        if (option == "--listen") {
            std::string port = value;
            auto order = service::WordOrder::kHighWordFirst;
            if (const auto colon = port.find(':'); colon != std::string::npos) {
                const auto name = port.substr(colon + 1);
                ok = name == "high" || name == "low";
                if (name == "low") order = service::WordOrder::kLowWordFirst;
                port.resize(colon);
            }
            ok = ok && ParseNumber(port.c_str(), 1, 65535, number);
            listeners.emplace_back(static_cast<std::uint16_t>(number), order);
        } else if (option == "--address") {
            settings.address = value;
        } else if (option == "--max-clients") {
            ok = ParseNumber(value, 1, 1000, number);
            settings.maxClients = static_cast<int>(number);
        } else if (option == "--idle-timeout") {
            ok = ParseNumber(value, 0, 86400, number);
            settings.idleTimeout = std::chrono::seconds(number);
        } else if (option == "--write-delay-ms") {
            ok = ParseNumber(value, 0, 60000, writeDelayMs);
        } else {
            ok = false;
        }
        if (!ok) {
            std::fprintf(stderr, "bad option or value: %s %s\n%s", option.c_str(), value, kUsage);
            return 2;
        }
    }
    if (listeners.empty()) {
        std::fputs(kUsage, stderr);
        return 2;
    }

    // The signals are taken by sigwait below, in the main thread alone.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    service::testing::FakeGateway gateway{std::chrono::milliseconds(writeDelayMs)};
    std::list<service::ModbusServer> servers;
    for (const auto& [port, order] : listeners) {
        settings.port = port;
        settings.wordOrder = order;
        auto& server = servers.emplace_back(settings, gateway, service::testing::FixedTables());
        if (const auto error = server.Start(); !error.empty()) {
            std::fprintf(stderr, "qm4720_modbus_fake_server: %s\n", error.c_str());
            return 1;
        }
        std::printf("listening on %s:%u\n", settings.address.c_str(), port);
    }
    std::fflush(stdout);
    int received = 0;
    sigwait(&signals, &received);
    for (auto& server : servers) server.Stop();
    for (const auto& write : gateway.Writes()) {
        std::printf("write station %d register %d value %g\n", write.station, write.index,
                    write.value);
    }
    return 0;
}
