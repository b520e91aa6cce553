// Debian's mosquitto on a loopback port, for the MQTT publisher's tests and bench: started with a
// file of its own (no persistence, anonymous clients), tracked by its process id, killed with
// SIGKILL when asked or when the object goes. Kill then Start again gives a broker that lost
// everything on the same port, as after a crash.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace service::testing {

inline constexpr const char* kMosquittoPath = "/usr/sbin/mosquitto";
inline constexpr const char* kMosquittoSubPath = "/usr/bin/mosquitto_sub";

class MosquittoBroker {
public:
    // `listenerOptions`: lines for the listener's section, e.g. cafile/certfile/keyfile for TLS.
    explicit MosquittoBroker(std::uint16_t port, const std::string& listenerOptions = "");
    ~MosquittoBroker();
    MosquittoBroker(const MosquittoBroker&) = delete;
    MosquittoBroker& operator=(const MosquittoBroker&) = delete;

    // True once the broker accepts connections (within 10 s).
    bool Start();
    void Kill();
    std::uint16_t port() const { return port_; }

private:
    std::uint16_t port_;
    std::string dir_;
    pid_t pid_ = -1;
};

// Runs `argv` (no shell) and returns what it wrote to stdout once it exits.
std::string RunAndRead(const std::vector<std::string>& argv);

// A child whose stdout is read as it comes (mosquitto_sub subscribed before a test publishes).
class ChildReader {
public:
    explicit ChildReader(const std::vector<std::string>& argv);
    ~ChildReader();  // SIGKILL if still running
    ChildReader(const ChildReader&) = delete;
    ChildReader& operator=(const ChildReader&) = delete;

    int fd() const { return fd_; }
    // Waits for the child to exit; its status (-1 when it could not be waited for).
    int Wait();
    // Ends the child by SIGKILL; its stdout then ends too.
    void Kill();

private:
    pid_t pid_ = -1;
    int fd_ = -1;
};

}  // namespace service::testing
