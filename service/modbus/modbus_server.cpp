#include "service/modbus/modbus_server.h"

#include <modbus.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "service/modbus/modbus_request.h"

namespace service {

struct ModbusServer::Client {
    int fd = -1;
    std::atomic<bool> finished{false};
    std::thread thread;
};

namespace {

std::string SystemError(const std::string& where, int error) {
    return where + ": " + std::strerror(error);
}

// "address:port" of the client on `fd` (numeric, so no name lookup), for the log.
std::string PeerName(int fd) {
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    char host[NI_MAXHOST] = "?";
    char port[NI_MAXSERV] = "?";
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) == 0) {
        getnameinfo(reinterpret_cast<sockaddr*>(&peer), length, host, sizeof host, port,
                    sizeof port, NI_NUMERICHOST | NI_NUMERICSERV);
    }
    return std::string(host) + ":" + port;
}

// Whether the client on `fd` may write: always without a list, else only from an address in it.
bool MayWrite(int fd, const ModbusListenerSettings& settings) {
    if (!settings.writeClients) return true;
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0) return false;
    const std::optional<AddressRange> host = HostOf(peer);
    return host && AnyRangeHolds(*settings.writeClients, *host);
}

struct ModbusContextDeleter {
    void operator()(modbus_t* ctx) const { modbus_free(ctx); }
};

}  // namespace

ModbusServer::ModbusServer(const ModbusListenerSettings& settings, MeterGateway& gateway,
                           StationTables tables)
    : settings_(settings), gateway_(gateway), tables_(std::move(tables)) {}

ModbusServer::~ModbusServer() {
    Stop();
}

std::string ModbusServer::Start() {
    if (settings_.port == 0) return {};
    const std::string where = settings_.address + ":" + std::to_string(settings_.port);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICHOST | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const std::string port = std::to_string(settings_.port);
    if (const int rc = getaddrinfo(settings_.address.c_str(), port.c_str(), &hints, &found);
        rc != 0) {
        return where + ": " + gai_strerror(rc) + " (a numeric IPv4 or IPv6 address is expected)";
    }
    std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> info(found, freeaddrinfo);
    const int fd = socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return SystemError(where, errno);
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (bind(fd, found->ai_addr, found->ai_addrlen) != 0 || listen(fd, 16) != 0) {
        const int error = errno;
        close(fd);
        return SystemError(where, error);
    }
    wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd_ < 0) {
        const int error = errno;
        close(fd);
        return SystemError("eventfd", error);
    }
    listenFd_ = fd;
    stopping_ = false;
    listener_ = std::thread([this] { Listen(); });
    return {};
}

void ModbusServer::Stop() {
    if (!listener_.joinable()) return;
    stopping_ = true;
    Wake();
    listener_.join();
    ReapFinished(true);
    close(listenFd_);
    close(wakeFd_);
    listenFd_ = wakeFd_ = -1;
}

int ModbusServer::ClientCount() const {
    std::lock_guard lock(clientsMutex_);
    int count = 0;
    for (const auto& client : clients_) count += client->finished ? 0 : 1;
    return count;
}

void ModbusServer::Wake() {
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = write(wakeFd_, &one, sizeof one);
}

void ModbusServer::Listen() {
    while (!stopping_) {
        pollfd fds[2] = {{listenFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0 && errno != EINTR) break;
        if (fds[1].revents & POLLIN) {
            std::uint64_t count = 0;
            [[maybe_unused]] const auto got = read(wakeFd_, &count, sizeof count);
        }
        ReapFinished(false);
        if (stopping_ || !(fds[0].revents & POLLIN)) continue;
        const int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        if (ClientCount() >= settings_.maxClients) {
            close(fd);  // over the bound: the client sees the connection closed at once
            continue;
        }
        const int on = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        // A client that stops reading its replies would block a reply's send for ever: the idle
        // timeout bounds that wait as it bounds the wait for a request.
        if (settings_.idleTimeout.count() > 0) {
            const auto ms = settings_.idleTimeout.count();
            const timeval limit{static_cast<time_t>(ms / 1000),
                                static_cast<suseconds_t>(ms % 1000 * 1000)};
            setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
        }
        std::lock_guard lock(clientsMutex_);
        auto& client = *clients_.emplace_back(std::make_unique<Client>());
        client.fd = fd;
        client.thread = std::thread([this, &client] { Serve(client); });
    }
}

// Joins the client threads that ended (all of them, after shutting their sockets, when `all`)
// and only then closes their sockets, so that no descriptor is closed under a running thread.
void ModbusServer::ReapFinished(bool all) {
    std::list<std::unique_ptr<Client>> ended;
    {
        std::lock_guard lock(clientsMutex_);
        for (auto it = clients_.begin(); it != clients_.end();) {
            if (all) shutdown((*it)->fd, SHUT_RDWR);
            if (all || (*it)->finished) {
                ended.splice(ended.end(), clients_, it++);
            } else {
                ++it;
            }
        }
    }
    for (auto& client : ended) {
        client->thread.join();
        close(client->fd);
    }
}

void ModbusServer::Serve(Client& client) {
    std::unique_ptr<modbus_t, ModbusContextDeleter> ctx(modbus_new_tcp("0.0.0.0", 0));
    auto mapping = NewReplyMapping(tables_);
    if (ctx && mapping) {
        modbus_set_socket(ctx.get(), client.fd);
        const std::string peer = PeerName(client.fd);
        ModbusRequestHandler handler(gateway_, tables_, settings_.wordOrder, peer,
                                     MayWrite(client.fd, settings_), settings_.format);
        const int idleMs = static_cast<int>(settings_.idleTimeout.count());
        std::uint8_t request[MODBUS_TCP_MAX_ADU_LENGTH];
        while (!stopping_) {
            // Waiting here rather than in modbus_receive bounds the idle time; once a frame has
            // begun, libmodbus's byte timeout bounds the wait for the rest of it.
            pollfd fds = {client.fd, POLLIN, 0};
            const int ready = poll(&fds, 1, idleMs > 0 ? idleMs : -1);
            if (ready < 0 && errno == EINTR) continue;
            if (ready <= 0 || stopping_) break;
            const int length = modbus_receive(ctx.get(), request);
            if (length <= 0) break;
            const std::uint64_t refusedBefore = handler.WritesRefused();
            const bool answered = handler.Answer(
                ctx.get(), std::span(request, static_cast<std::size_t>(length)), *mapping);
            if (handler.WritesRefused() != refusedBefore) {
                ++writesRefused_;
                if (refusedBefore == 0 && onWriteRefused_) onWriteRefused_(peer);
            }
            if (!answered) break;
        }
    }
    // The peer sees the end at once; the descriptor itself is closed by the reaper after join.
    shutdown(client.fd, SHUT_RDWR);
    client.finished = true;
    Wake();
}

}  // namespace service
