// TLS for the HTTP server's connections (OpenSSL), within the same bounds as a plain connection:
// every wait of a handshake, a read or a write has the deadline its caller gives. OpenSSL writes
// the socket without MSG_NOSIGNAL: the program ignores SIGPIPE (qm4720d's main does).
#pragma once

#include <openssl/ssl.h>

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

#include <sys/types.h>

namespace service {

struct SslFree {
    void operator()(SSL* ssl) const { SSL_free(ssl); }
};
using TlsSession = std::unique_ptr<SSL, SslFree>;

// The server's certificate chain and key, TLS 1.2 at least.
class TlsServerContext {
public:
    // Null with `error` set when the files cannot serve (the configuration checked them already;
    // they may have changed since).
    static std::unique_ptr<TlsServerContext> Open(const std::string& certificate,
                                                  const std::string& key, std::string& error);
    ~TlsServerContext();
    TlsServerContext(const TlsServerContext&) = delete;
    TlsServerContext& operator=(const TlsServerContext&) = delete;

    // A session for the accepted, non-blocking socket `fd`; null when OpenSSL cannot make one.
    TlsSession NewSession(int fd) const;

private:
    explicit TlsServerContext(SSL_CTX* context) : context_(context) {}
    SSL_CTX* context_;
};

using Deadline = std::chrono::steady_clock::time_point;

// Completes the server's side of the handshake by `deadline`, or until `stopFd` is readable.
bool TlsHandshake(SSL* ssl, int fd, int stopFd, Deadline deadline);

// Up to `size` bytes of application data: the count, 0 when the client closed, -1 on an error or
// when `deadline` passed (or `stopFd` became readable) first.
ssize_t TlsRead(SSL* ssl, int fd, char* data, std::size_t size, int stopFd, Deadline deadline);

// Writes some of `data`: the count written, -1 as TlsRead.
ssize_t TlsWrite(SSL* ssl, int fd, const char* data, std::size_t size, int stopFd,
                 Deadline deadline);

}  // namespace service
