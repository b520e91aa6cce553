#include "service/http/http_request_stream.h"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace service {

using Clock = std::chrono::steady_clock;

int MillisecondsUntil(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    return static_cast<int>(std::clamp<std::int64_t>(left.count(), 0, 60 * 60 * 1000));
}

bool WaitFor(int fd, short events, int stopFd, Clock::time_point deadline) {
    for (;;) {
        pollfd fds[2] = {{fd, events, 0}, {stopFd, POLLIN, 0}};
        const int ready = poll(fds, 2, MillisecondsUntil(deadline));
        if (ready < 0 && errno == EINTR) continue;
        return ready > 0 && (fds[1].revents & POLLIN) == 0;
    }
}

RequestStream::RequestStream(HttpConnection& connection, const HttpLimits& limits, int stopFd)
    : connection_(connection),
      limits_(limits),
      stopFd_(stopFd),
      headerDeadline_(Clock::now() + limits.header) {}

void RequestStream::BeginBody(std::size_t allowed) {
    inBody_ = true;
    allowance_ = allowed;
    taken_ = 0;
}

bool RequestStream::is_readable() const {
    return connection_.HasInput() || WaitFor(connection_.fd, POLLIN, stopFd_, ReadDeadline());
}

bool RequestStream::is_writable() const {
    if (WaitFor(connection_.fd, POLLOUT, stopFd_, WriteDeadline())) return true;
    // Once the server is stopping an answer still goes out (a write's client learns its outcome),
    // within a short grace for the whole of it.
    if (!stopGrace_) stopGrace_ = Clock::now() + std::chrono::milliseconds(500);
    return WaitFor(connection_.fd, POLLOUT, -1, std::min(WriteDeadline(), *stopGrace_));
}

ssize_t RequestStream::read(char* ptr, std::size_t size) {
    const std::size_t limit = inBody_ ? allowance_ : limits_.headerBytes;
    if (taken_ >= limit) return -1;
    size = std::min(size, limit - taken_);
    if (connection_.Buffered() == 0) {
        if (!is_readable()) return -1;
        connection_.pending.resize(4096);
        connection_.offset = 0;
        const ssize_t got =
            connection_.tls != nullptr
                ? TlsRead(connection_.tls.get(), connection_.fd, connection_.pending.data(),
                          connection_.pending.size(), stopFd_, ReadDeadline())
                : recv(connection_.fd, connection_.pending.data(), connection_.pending.size(),
                       MSG_DONTWAIT);
        connection_.pending.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
        if (got <= 0) return got == 0 ? 0 : -1;
    }
    const std::size_t n = std::min(size, connection_.Buffered());
    std::memcpy(ptr, connection_.pending.data() + connection_.offset, n);
    connection_.offset += n;
    taken_ += n;
    return static_cast<ssize_t>(n);
}

ssize_t RequestStream::write(const char* ptr, std::size_t size) {
    if (!writeDeadline_) writeDeadline_ = Clock::now() + limits_.write;
    if (!is_writable()) return -1;
    if (connection_.tls != nullptr) {
        // The same grace as a plain answer once the server is stopping: the socket is writable
        // now, and OpenSSL's own waits end with the write's deadline.
        return TlsWrite(connection_.tls.get(), connection_.fd, ptr, size, -1,
                        stopGrace_ ? std::min(WriteDeadline(), *stopGrace_) : WriteDeadline());
    }
    return send(connection_.fd, ptr, size, MSG_DONTWAIT | MSG_NOSIGNAL);
}

void RequestStream::get_remote_ip_and_port(std::string& ip, int& port) const {
    ip = connection_.address;
    port = connection_.port;
}

void RequestStream::get_local_ip_and_port(std::string& ip, int& port) const {
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    ip.clear();
    port = 0;
    if (getsockname(connection_.fd, reinterpret_cast<sockaddr*>(&local), &length) != 0) return;
    char host[NI_MAXHOST];
    char service[NI_MAXSERV];
    if (getnameinfo(reinterpret_cast<sockaddr*>(&local), length, host, sizeof host, service,
                    sizeof service, NI_NUMERICHOST | NI_NUMERICSERV) == 0) {
        ip = host;
        port = std::atoi(service);
    }
}

Clock::time_point RequestStream::ReadDeadline() const {
    return inBody_ ? Clock::now() + limits_.io : headerDeadline_;
}

Clock::time_point RequestStream::WriteDeadline() const {
    return writeDeadline_ ? *writeDeadline_ : Clock::now() + limits_.write;
}

}  // namespace service
