#include "service/http/http_bounded_server.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/err.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace service {

using Clock = std::chrono::steady_clock;

namespace {

void Signal(int eventFd) {
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = write(eventFd, &one, sizeof one);
}

// How a request's body is framed, from its headers.
struct BodyFraming {
    bool delimited = true;  // false: chunked, or a length not given where a body is expected
    std::uint64_t length = 0;
};

BodyFraming FramingOf(const httplib::Request& request) {
    const std::string encoding = request.get_header_value("Transfer-Encoding");
    if (!encoding.empty()) return {false, 0};
    if (!request.has_header("Content-Length")) {
        // cpp-httplib reads a POST, PUT, PATCH or DELETE without a length until the client closes.
        const bool bodyExpected = request.method == "POST" || request.method == "PUT" ||
                                  request.method == "PATCH" || request.method == "DELETE";
        return {!bodyExpected, 0};
    }
    const std::string text = request.get_header_value("Content-Length");
    char* end = nullptr;
    errno = 0;
    const unsigned long long length = std::strtoull(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno == ERANGE || text.front() == '-') return {false, 0};
    return {true, length};
}

std::string AddressOf(const sockaddr_storage& peer, socklen_t length, int& port) {
    char host[NI_MAXHOST] = "";
    char service[NI_MAXSERV] = "0";
    getnameinfo(reinterpret_cast<const sockaddr*>(&peer), length, host, sizeof host, service,
                sizeof service, NI_NUMERICHOST | NI_NUMERICSERV);
    port = std::atoi(service);
    std::string address = host;
    // An IPv4 client of a dual-stack listener is the same client as over IPv4.
    if (address.rfind("::ffff:", 0) == 0) address.erase(0, 7);
    return address;
}

constexpr std::string_view kBusy =
    "HTTP/1.1 503 Service Unavailable\r\nConnection: close\r\nContent-Type: text/plain\r\n"
    "Content-Length: 51\r\n\r\ntoo many connections from this address, or in all\r\n";

}  // namespace

BoundedHttpServer::BoundedHttpServer(HttpLimits limits) : limits_(limits) {
    // What the Keep-Alive header of an answer tells the client.
    set_keep_alive_timeout(std::chrono::ceil<std::chrono::seconds>(limits_.idle).count());
    set_keep_alive_max_count(limits_.requestsPerConnection);
}

BoundedHttpServer::~BoundedHttpServer() {
    Close();
}

bool BoundedHttpServer::Open(const std::string& address, int port, std::string& error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    if (const int rc = getaddrinfo(address.c_str(), service.c_str(), &hints, &found); rc != 0) {
        error = gai_strerror(rc);
        return false;
    }
    std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> info(found, freeaddrinfo);
    const int fd = ::socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        error = std::strerror(errno);
        return false;
    }
    const int on = 1;
    const int off = 0;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (found->ai_family == AF_INET6) setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
    if (::bind(fd, found->ai_addr, found->ai_addrlen) != 0 || ::listen(fd, SOMAXCONN) != 0) {
        error = std::strerror(errno);
        close(fd);
        return false;
    }
    listenFd_ = fd;
    wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    stopFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd_ < 0 || stopFd_ < 0) {
        error = std::strerror(errno);
        Close();
        return false;
    }
    stopping_ = false;
    acceptor_ = std::thread([this] { Accept(); });
    for (int i = 0; i < limits_.workers; ++i) workers_.emplace_back([this] { Work(); });
    return true;
}

void BoundedHttpServer::Close() {
    if (stopFd_ >= 0) {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        Signal(stopFd_);
        readyCv_.notify_all();
    }
    if (acceptor_.joinable()) acceptor_.join();
    for (auto& worker : workers_) worker.join();
    workers_.clear();
    for (auto& connection : ready_) Release(std::move(connection), false);
    ready_.clear();
    for (auto& connection : backToIdle_) Release(std::move(connection), false);
    backToIdle_.clear();
    for (int* fd : {&listenFd_, &wakeFd_, &stopFd_}) {
        if (*fd >= 0) close(*fd);
        *fd = -1;
    }
}

void BoundedHttpServer::TakeNewConnections(std::vector<std::unique_ptr<HttpConnection>>& waiting) {
    for (;;) {
        sockaddr_storage peer{};
        socklen_t length = sizeof peer;
        // OpenSSL reads and writes the socket itself: it must not block there.
        const int fd = accept4(listenFd_, reinterpret_cast<sockaddr*>(&peer), &length,
                               SOCK_CLOEXEC | (tls_ != nullptr ? SOCK_NONBLOCK : 0));
        if (fd < 0) {
            // Out of descriptors, the listener stays readable: a pause rather than a busy loop.
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            return;
        }
        auto connection = std::make_unique<HttpConnection>();
        connection->fd = fd;
        if (tls_ != nullptr) {
            connection->tls = tls_->NewSession(fd);
            if (connection->tls == nullptr) {
                close(fd);
                continue;
            }
        }
        connection->address = AddressOf(peer, length, connection->port);
        bool admitted = false;
        {
            std::lock_guard lock(mutex_);
            int& fromAddress = perAddress_[connection->address];
            if (fromAddress < limits_.perAddress && total_ < limits_.total) {
                ++fromAddress;
                ++total_;
                admitted = true;
            } else if (fromAddress == 0) {
                perAddress_.erase(connection->address);
            }
        }
        if (!admitted) {
            [[maybe_unused]] const auto sent =
                send(fd, kBusy.data(), kBusy.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
            close(fd);
            continue;
        }
        // Kept-alive answers go out at once rather than after the client's delayed acknowledgement.
        const int on = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        connection->idleUntil = Clock::now() + limits_.idle;
        waiting.push_back(std::move(connection));
    }
}

void BoundedHttpServer::Accept() {
    std::vector<std::unique_ptr<HttpConnection>> waiting;
    std::vector<pollfd> fds;
    while (!stopping_) {
        fds.assign({{listenFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}, {stopFd_, POLLIN, 0}});
        Clock::time_point wake = Clock::now() + std::chrono::hours(1);
        for (const auto& connection : waiting) {
            fds.push_back({connection->fd, POLLIN, 0});
            wake = std::min(wake, connection->idleUntil);
        }
        if (poll(fds.data(), fds.size(), MillisecondsUntil(wake)) < 0) {
            // Interrupted, or short of memory for a moment: the listener is not given up.
            if (errno != EINTR) std::this_thread::sleep_for(std::chrono::milliseconds(10));
            continue;
        }
        if (stopping_) break;
        const auto now = Clock::now();
        std::vector<std::unique_ptr<HttpConnection>> stillWaiting;
        for (std::size_t i = 0; i < waiting.size(); ++i) {
            auto& connection = waiting[i];
            if (fds[i + 3].revents != 0) {
                std::lock_guard lock(mutex_);
                ready_.push_back(std::move(connection));
                readyCv_.notify_one();
            } else if (now >= connection->idleUntil) {
                Release(std::move(connection), false);
            } else {
                stillWaiting.push_back(std::move(connection));
            }
        }
        waiting = std::move(stillWaiting);
        if ((fds[1].revents & POLLIN) != 0) {
            std::uint64_t count = 0;
            [[maybe_unused]] const auto got = read(wakeFd_, &count, sizeof count);
            std::lock_guard lock(mutex_);
            for (auto& connection : backToIdle_) waiting.push_back(std::move(connection));
            backToIdle_.clear();
        }
        if ((fds[0].revents & POLLIN) != 0) TakeNewConnections(waiting);
    }
    for (auto& connection : waiting) Release(std::move(connection), false);
}

void BoundedHttpServer::Work() {
    for (;;) {
        std::unique_ptr<HttpConnection> connection;
        {
            std::unique_lock lock(mutex_);
            readyCv_.wait(lock, [this] { return stopping_ || !ready_.empty(); });
            if (stopping_) return;
            connection = std::move(ready_.front());
            ready_.pop_front();
        }
        if (!ServeRequest(*connection)) {
            Release(std::move(connection), true);
            continue;
        }
        std::lock_guard lock(mutex_);
        if (stopping_) {
            ready_.push_back(std::move(connection));  // closed by Close
        } else if (connection->HasInput()) {
            ready_.push_back(std::move(connection));  // the client's next request is here
            readyCv_.notify_one();
        } else {
            connection->idleUntil = Clock::now() + limits_.idle;
            backToIdle_.push_back(std::move(connection));
            Signal(wakeFd_);
        }
    }
}

// Serves one request; true when the connection can carry the next one: the request was read
// whole, its body to the last byte of a given length, and answered.
bool BoundedHttpServer::ServeRequest(HttpConnection& connection) {
    if (connection.tls != nullptr && !connection.handshaken) {
        connection.handshaken = TlsHandshake(connection.tls.get(), connection.fd, stopFd_,
                                             Clock::now() + limits_.header);
        if (!connection.handshaken) return false;
        // A client that sent its request with its handshake is served at once; otherwise the
        // connection waits among the idle ones.
        if (!connection.HasInput()) return true;
    }
    RequestStream stream(connection, limits_, stopFd_);
    BodyFraming framing;
    bool closeAfter = false;
    const bool last = ++connection.requests >= limits_.requestsPerConnection;
    const bool answered = process_request(stream, last, closeAfter, [&](httplib::Request& request) {
        framing = FramingOf(request);
        // A length over the payload bound, or not a plain number (which cpp-httplib may read as a
        // huge one), is refused without waiting for the body.
        const bool refused = request.has_header("Content-Length") &&
                             (!framing.delimited || framing.length > payload_max_length_);
        stream.BeginBody(refused ? 0 : limits_.bodyBytes);
    });
    return answered && !last && !closeAfter && stream.InBody() && framing.delimited &&
           stream.BodyTaken() == framing.length;
}

// Closes `connection`. With `drain`, the client may still be sending what was not read: the answer
// is flushed and a little of the rest read and dropped first, so that the client sees the answer
// rather than a reset.
void BoundedHttpServer::Release(std::unique_ptr<HttpConnection> connection, bool drain) {
    // TLS says goodbye once, without waiting for the client's own.
    if (connection->tls != nullptr && connection->handshaken) {
        SSL_shutdown(connection->tls.get());
        ERR_clear_error();
    }
    if (drain) {
        shutdown(connection->fd, SHUT_WR);
        const auto until = Clock::now() + std::chrono::milliseconds(500);
        char discard[4096];
        for (std::size_t dropped = 0; dropped < 256 * 1024;) {
            if (!WaitFor(connection->fd, POLLIN, stopFd_, until)) break;
            const ssize_t got = recv(connection->fd, discard, sizeof discard, MSG_DONTWAIT);
            if (got <= 0) break;
            dropped += static_cast<std::size_t>(got);
        }
    }
    close(connection->fd);
    std::lock_guard lock(mutex_);
    if (--perAddress_[connection->address] <= 0) perAddress_.erase(connection->address);
    --total_;
}

}  // namespace service
