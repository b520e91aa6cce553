#include "service/http/http_tls.h"

#include <openssl/err.h>
#include <poll.h>

#include "service/http/http_request_stream.h"

namespace service {
namespace {

std::string OpenSslError() {
    char text[256] = "unknown OpenSSL error";
    if (const unsigned long code = ERR_get_error(); code != 0) {
        ERR_error_string_n(code, text, sizeof text);
    }
    ERR_clear_error();
    return text;
}

// Waits for what OpenSSL asked for after `result`; false when it failed for good, or the wait
// ended without the socket becoming ready.
bool WaitForTls(SSL* ssl, int result, int fd, int stopFd, Deadline deadline) {
    switch (SSL_get_error(ssl, result)) {
        case SSL_ERROR_WANT_READ:
            return WaitFor(fd, POLLIN, stopFd, deadline);
        case SSL_ERROR_WANT_WRITE:
            return WaitFor(fd, POLLOUT, stopFd, deadline);
        default:
            ERR_clear_error();
            return false;
    }
}

}  // namespace

std::unique_ptr<TlsServerContext> TlsServerContext::Open(const std::string& certificate,
                                                         const std::string& key,
                                                         std::string& error) {
    SSL_CTX* context = SSL_CTX_new(TLS_server_method());
    if (context == nullptr) {
        error = "TLS: " + OpenSslError();
        return nullptr;
    }
    std::unique_ptr<TlsServerContext> made(new TlsServerContext(context));
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    SSL_CTX_set_mode(context, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    // Resumption would keep state per client beyond its connection; a handshake is cheap enough.
    SSL_CTX_set_session_cache_mode(context, SSL_SESS_CACHE_OFF);
    SSL_CTX_set_options(context, SSL_OP_NO_TICKET | SSL_OP_NO_RENEGOTIATION);
    if (SSL_CTX_use_certificate_chain_file(context, certificate.c_str()) != 1) {
        error = "TLS certificate " + certificate + ": " + OpenSslError();
        return nullptr;
    }
    if (SSL_CTX_use_PrivateKey_file(context, key.c_str(), SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_check_private_key(context) != 1) {
        error = "TLS key " + key + ": " + OpenSslError();
        return nullptr;
    }
    return made;
}

TlsServerContext::~TlsServerContext() {
    SSL_CTX_free(context_);
}

TlsSession TlsServerContext::NewSession(int fd) const {
    TlsSession ssl(SSL_new(context_));
    if (ssl == nullptr || SSL_set_fd(ssl.get(), fd) != 1) {
        ERR_clear_error();
        return nullptr;
    }
    SSL_set_accept_state(ssl.get());
    return ssl;
}

bool TlsHandshake(SSL* ssl, int fd, int stopFd, Deadline deadline) {
    for (;;) {
        const int result = SSL_accept(ssl);
        if (result == 1) return true;
        if (!WaitForTls(ssl, result, fd, stopFd, deadline)) return false;
    }
}

ssize_t TlsRead(SSL* ssl, int fd, char* data, std::size_t size, int stopFd, Deadline deadline) {
    for (;;) {
        std::size_t got = 0;
        const int result = SSL_read_ex(ssl, data, size, &got);
        if (result == 1) return static_cast<ssize_t>(got);
        if (SSL_get_error(ssl, result) == SSL_ERROR_ZERO_RETURN) return 0;
        if (!WaitForTls(ssl, result, fd, stopFd, deadline)) return -1;
    }
}

ssize_t TlsWrite(SSL* ssl, int fd, const char* data, std::size_t size, int stopFd,
                 Deadline deadline) {
    for (;;) {
        std::size_t written = 0;
        const int result = SSL_write_ex(ssl, data, size, &written);
        if (result == 1) return static_cast<ssize_t>(written);
        if (!WaitForTls(ssl, result, fd, stopFd, deadline)) return -1;
    }
}

}  // namespace service
