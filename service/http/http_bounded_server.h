// The HTTP server's routes (cpp-httplib's Server) behind connection handling of qm4720d's own, so
// that no client can hold the server: cpp-httplib's own loop gives each connection a thread of a
// fixed pool for as long as the client trickles bytes, and reads a chunked body whole.
//
// Here one thread accepts every connection at once and keeps the idle ones (before their first
// request and between two kept-alive requests) in a poll set, where they cost no worker; a
// connection goes to a worker only when its client has sent something, for one request at a time.
// Each request is bounded: its request line and headers must arrive within `header` of its first
// byte and within `headerBytes`; its body within `bodyBytes` as sent (whatever its framing) with
// `io` at most between two reads; its answer within `write`. One client address holds at most
// `perAddress` connections, all clients `total`; one more is answered 503 and closed. A
// connection carries `requestsPerConnection` requests at most; a request whose body was not read
// whole (refused before it was read, chunked, or cut) ends its connection.
//
// Over TLS the handshake is a connection's first request as far as the bounds go: it starts in a
// worker once the client has sent its first bytes and must end within `header` of it, so that a
// slow handshake holds no more than a trickled request line would.
#pragma once

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "service/http/http_request_stream.h"
#include "service/http/http_tls.h"

namespace service {

class BoundedHttpServer : public httplib::Server {
public:
    explicit BoundedHttpServer(HttpLimits limits = {});
    ~BoundedHttpServer() override;
    BoundedHttpServer(const BoundedHttpServer&) = delete;
    BoundedHttpServer& operator=(const BoundedHttpServer&) = delete;

    // Listens on `address`:`port` and serves from threads of its own; false with `error` saying
    // why (e.g. "Address already in use") when it cannot listen.
    bool Open(const std::string& address, int port, std::string& error);
    // Serves over TLS from `context` rather than plain; before Open.
    void UseTls(std::unique_ptr<TlsServerContext> context) { tls_ = std::move(context); }
    // Stops accepting, closes the idle connections and joins every thread once the requests in
    // progress are answered (a request still reading stops at once). Idempotent.
    void Close();

private:
    void Accept();
    void Work();
    bool ServeRequest(HttpConnection& connection);
    void Release(std::unique_ptr<HttpConnection> connection, bool drain);
    void TakeNewConnections(std::vector<std::unique_ptr<HttpConnection>>& waiting);

    HttpLimits limits_;
    std::unique_ptr<TlsServerContext> tls_;
    int listenFd_ = -1;
    int wakeFd_ = -1;  // eventfd: a connection came back to the idle set
    int stopFd_ = -1;  // eventfd: readable from Close on, wakes every wait
    std::atomic<bool> stopping_{false};
    std::thread acceptor_;
    std::vector<std::thread> workers_;

    std::mutex mutex_;
    std::condition_variable readyCv_;
    std::deque<std::unique_ptr<HttpConnection>> ready_;        // for a worker
    std::vector<std::unique_ptr<HttpConnection>> backToIdle_;  // from a worker, for the idle set
    std::map<std::string, int> perAddress_;
    int total_ = 0;
};

}  // namespace service
