// The Modbus TCP server of one serial line: a listener on the line's configured address and port,
// the unit identifier of a request naming the station on that line.
//
// Threads: one listener thread, and one thread per connected client, at most
// settings.maxClients of them; a connection beyond that is accepted and closed at once. A client
// thread answers its client's requests one after the other; a write blocks that thread alone
// until the meter answered, so other clients' reads go on meanwhile. A client that sends nothing,
// or does not take a reply, for settings.idleTimeout (0: no limit), whose frame libmodbus refuses,
// stops half-way through a frame for longer than libmodbus's byte timeout (0.5 s), or whose header
// disagrees with the frame is closed; the others are not affected. When settings.writeClients is
// set, a client whose address is not in it has its writes answered with exception 01.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "service/core/meter_gateway.h"
#include "service/modbus/modbus_register_map.h"

namespace service {

class ModbusServer {
public:
    // `gateway` must outlive the server; `tables` holds the register table shape of the model of
    // every station on the line and is copied.
    ModbusServer(const ModbusListenerSettings& settings, MeterGateway& gateway,
                 StationTables tables);
    ~ModbusServer();
    ModbusServer(const ModbusServer&) = delete;
    ModbusServer& operator=(const ModbusServer&) = delete;

    // Binds and starts listening. Returns an empty text on success (and when the settings' port is
    // 0, which means no listener), else what failed with the address, e.g.
    // "127.0.0.1:1502: Address already in use". Not to be called twice without a Stop between.
    std::string Start();

    // Closes the listener and every client and joins every thread. Returns at once (shutting a
    // client's socket wakes its thread wherever it waits in libmodbus), unless a client thread is
    // inside the gateway's Write: that one is joined when the gateway answers, which it does with
    // kNoAnswer once its line is stopping. Safe to call when not started; idempotent.
    void Stop();

    // Clients connected now (for the tests and the service's status).
    int ClientCount() const;

    // Writes refused since the start because their client is not in settings.writeClients.
    std::uint64_t WritesRefused() const { return writesRefused_; }
    // Called from a client's thread at the first write refused on its connection, with the
    // client's "address:port"; the later ones are only counted. Set before Start.
    void OnWriteRefused(std::function<void(const std::string& client)> tell) {
        onWriteRefused_ = std::move(tell);
    }

private:
    struct Client;
    void Listen();
    void Serve(Client& client);
    void ReapFinished(bool all);
    void Wake();

    ModbusListenerSettings settings_;
    MeterGateway& gateway_;
    StationTables tables_;
    int listenFd_ = -1;
    int wakeFd_ = -1;  // an eventfd: a finished client or Stop wakes the listener
    std::atomic<bool> stopping_{false};
    std::thread listener_;
    mutable std::mutex clientsMutex_;
    std::list<std::unique_ptr<Client>> clients_;
    std::atomic<std::uint64_t> writesRefused_{0};
    std::function<void(const std::string&)> onWriteRefused_;
};

}  // namespace service
