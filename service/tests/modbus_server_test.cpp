// The server on a real socket with libmodbus's client: a write waiting for its meter does not hold
// other clients' reads, Stop ends every client and thread at once, a busy port is reported.
// Bounded clients, the idle timeout and malformed frames are covered by the real-client tests.
#include <gtest/gtest.h>
#include <modbus.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <thread>

#include "service/modbus/modbus_server.h"
#include "tests/support/fake_gateway.h"
#include "tests/support/free_port.h"

namespace service {
namespace {

using namespace std::chrono_literals;

struct ClientDeleter {
    void operator()(modbus_t* ctx) const {
        modbus_close(ctx);
        modbus_free(ctx);
    }
};
using Client = std::unique_ptr<modbus_t, ClientDeleter>;

Client Connect(std::uint16_t port, int unit) {
    Client client(modbus_new_tcp("127.0.0.1", port));
    modbus_set_slave(client.get(), unit);
    modbus_set_response_timeout(client.get(), 5, 0);
    EXPECT_EQ(modbus_connect(client.get()), 0) << modbus_strerror(errno);
    return client;
}

class ModbusServerTest : public ::testing::Test {
protected:
    void Start(std::chrono::milliseconds writeDelay = 0ms) {
        gateway_ = std::make_unique<testing::FakeGateway>(writeDelay);
        settings_.port = testing::FreeLoopbackPort();
        server_ = std::make_unique<ModbusServer>(settings_, *gateway_, testing::FixedTables());
        ASSERT_EQ(server_->Start(), "");
    }
    ModbusListenerSettings settings_;
    std::unique_ptr<testing::FakeGateway> gateway_;
    std::unique_ptr<ModbusServer> server_;
};

TEST_F(ModbusServerTest, AWriteWaitingForItsMeterDoesNotHoldOtherReads) {
    Start(1500ms);
    auto writer = Connect(settings_.port, 1);
    auto reader = Connect(settings_.port, 1);
    std::atomic<bool> written{false};
    auto write = std::async(std::launch::async, [&] {
        const std::uint16_t words[2] = {0x4148, 0x0000};  // 12.5, high word first
        const int rc = modbus_write_registers(writer.get(), 40, 2, words);
        written = true;
        return rc;
    });
    // Once the write has reached the gateway's delay, a read on the other client is answered.
    std::this_thread::sleep_for(100ms);
    std::uint16_t words[2] = {};
    ASSERT_EQ(modbus_read_registers(reader.get(), 0, 2, words), 2) << modbus_strerror(errno);
    EXPECT_FALSE(written) << "the read waited for the write";
    EXPECT_EQ(words[0], 0x41AC);  // 21.5
    EXPECT_EQ(words[1], 0x0000);
    EXPECT_EQ(write.get(), 2);  // answered only after the meter acknowledged
    ASSERT_EQ(gateway_->Writes().size(), 1u);
    EXPECT_EQ(gateway_->Writes()[0].value, 12.5);
}

TEST_F(ModbusServerTest, StopClosesEveryClientAndReturnsPromptly) {
    Start();
    auto idle = Connect(settings_.port, 1);
    auto halfway = Connect(settings_.port, 1);
    const std::uint8_t firstBytes[] = {0x00, 0x01, 0x00, 0x00, 0x00, 0x06, 0x01, 0x03};
    ASSERT_EQ(send(modbus_get_socket(halfway.get()), firstBytes, sizeof firstBytes, 0),
              static_cast<ssize_t>(sizeof firstBytes));
    for (int i = 0; i < 100 && server_->ClientCount() < 2; ++i) std::this_thread::sleep_for(10ms);
    ASSERT_EQ(server_->ClientCount(), 2);
    const auto start = std::chrono::steady_clock::now();
    server_->Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    EXPECT_EQ(server_->ClientCount(), 0);
    std::uint8_t byte = 0;
    EXPECT_EQ(recv(modbus_get_socket(idle.get()), &byte, 1, 0), 0) << "the idle client is closed";
}

TEST_F(ModbusServerTest, ABusyPortIsReportedWithTheAddress) {
    Start();
    testing::FakeGateway gateway;
    ModbusServer second(settings_, gateway, testing::FixedTables());
    const auto error = second.Start();
    EXPECT_NE(error.find("127.0.0.1:" + std::to_string(settings_.port) + ": "), std::string::npos)
        << error;
    EXPECT_NE(error.find("in use"), std::string::npos) << error;
}

}  // namespace
}  // namespace service
