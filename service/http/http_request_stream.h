// One request of a client's connection to qm4720d's HTTP server, as cpp-httplib reads and answers
// it, within the bounds of HttpLimits.
#pragma once

#include <httplib.h>

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>

#include "service/http/http_tls.h"

namespace service {

// What one client may hold of the HTTP server (http_bounded_server.h says how each is used).
struct HttpLimits {
    int perAddress = 8;  // a browser opens six at most
    int total = 256;
    int workers = 16;  // more than perAddress, so that one address cannot take them all
    std::chrono::milliseconds idle{1000};
    std::size_t requestsPerConnection = 10000;
    std::chrono::milliseconds header{5000};
    std::chrono::milliseconds io{5000};
    std::chrono::milliseconds write{30000};
    std::size_t headerBytes = 16 * 1024;
    std::size_t bodyBytes = 128 * 1024;
};

// A client's connection, between its requests and during one.
struct HttpConnection {
    int fd = -1;
    std::string address;  // the client's, the key of the bound per address
    int port = 0;
    std::string pending;  // received and not yet handed to the request's reader
    std::size_t offset = 0;
    std::chrono::steady_clock::time_point idleUntil;
    std::size_t requests = 0;
    TlsSession tls;  // null on a plain connection
    bool handshaken = false;

    std::size_t Buffered() const { return pending.size() - offset; }
    // Received and not yet read: in `pending`, or decrypted inside the TLS session, where a poll
    // of the socket does not see it.
    bool HasInput() const {
        return Buffered() > 0 || (tls != nullptr && SSL_pending(tls.get()) > 0);
    }
};

// Milliseconds from now until `deadline` for poll: 0 once past it.
int MillisecondsUntil(std::chrono::steady_clock::time_point deadline);

// Waits until `fd` is ready for `events`, `stopFd` is readable or `deadline` passes; true for
// the first. A `stopFd` of -1 is not watched.
bool WaitFor(int fd, short events, int stopFd, std::chrono::steady_clock::time_point deadline);

// The bytes of a request's line and headers, then of its body, each within its bounds; and the
// answer. A read past a bound, past its deadline or once `stopFd` is readable fails; an answer
// is still written then, for half a second at most.
class RequestStream final : public httplib::Stream {
public:
    RequestStream(HttpConnection& connection, const HttpLimits& limits, int stopFd);

    // Called once the headers are parsed: what follows is the body, at most `allowed` bytes of
    // it.
    void BeginBody(std::size_t allowed);
    bool InBody() const { return inBody_; }
    std::size_t BodyTaken() const { return taken_; }

    bool is_readable() const override;
    bool is_writable() const override;
    ssize_t read(char* ptr, std::size_t size) override;
    ssize_t write(const char* ptr, std::size_t size) override;
    void get_remote_ip_and_port(std::string& ip, int& port) const override;
    void get_local_ip_and_port(std::string& ip, int& port) const override;
    socket_t socket() const override { return connection_.fd; }

private:
    using Clock = std::chrono::steady_clock;
    Clock::time_point ReadDeadline() const;
    Clock::time_point WriteDeadline() const;

    HttpConnection& connection_;
    const HttpLimits& limits_;
    int stopFd_;
    Clock::time_point headerDeadline_;
    std::optional<Clock::time_point> writeDeadline_;
    mutable std::optional<Clock::time_point> stopGrace_;
    bool inBody_ = false;
    std::size_t allowance_ = 0;
    std::size_t taken_ = 0;
};

}  // namespace service
