// The certificate, key and CA files that the configuration names for TLS, checked when the file
// is read so that a service never starts on a listener that cannot complete a handshake.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace service {

// One file named by the configuration, with the key that named it (e.g. "http.tls_key").
struct NamedFile {
    std::string key;
    std::string path;
};

// Why `certificate` (PEM, the first certificate of a chain) and `key` (PEM private key) cannot
// serve: a file missing or unreadable, not PEM, a key that does not belong to the certificate, a
// certificate already expired or not yet valid at `now`. Empty when they can. The reason names the
// key and the file.
std::string CertificatePairProblem(const NamedFile& certificate, const NamedFile& key,
                                   std::chrono::system_clock::time_point now);

// Why `ca` (PEM certificates, one or more) cannot be used to check a peer; empty when it can.
std::string CaFileProblem(const NamedFile& ca, std::chrono::system_clock::time_point now);

// "KEY: certificate FILE expires in N days (DATE)" when `certificate` expires within `within` of
// `now`; empty otherwise, and for a file that cannot be read (refused elsewhere).
std::string ExpiryWarning(const NamedFile& certificate, std::chrono::system_clock::time_point now,
                          std::chrono::hours within = std::chrono::hours(24 * 30));

}  // namespace service
