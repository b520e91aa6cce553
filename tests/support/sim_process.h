// The simulator as a child process for end-to-end tests (the host library's child process):
// started by path with its arguments, ready once it printed PORT= and READY, stopped by its process
// id. Its stderr goes to a file so that a chatty run never blocks on a full pipe.
#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "host/oskit/child_process.h"

namespace simtest {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

inline Bytes Hex(const char* text) {
    Bytes out;
    std::istringstream in(text);
    unsigned value;
    while (in >> std::hex >> value) out.push_back(static_cast<std::uint8_t>(value));
    return out;
}

inline std::string ShowHex(const Bytes& bytes) {
    std::string out;
    char b[4];
    for (const std::uint8_t v : bytes) {
        std::snprintf(b, sizeof b, "%02X ", v);
        out += b;
    }
    return out;
}

class SimProcess {
public:
    SimProcess() = default;
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;
    ~SimProcess() {
        Stop(SIGKILL);
        if (!stderrPath_.empty()) unlink(stderrPath_.c_str());
    }

    // Starts the program and waits up to five seconds for its PORT= and READY lines. False when
    // it exits first or stays silent; `exitStatus()` then tells how it ended.
    bool Start(const std::vector<std::string>& args) {
        char errName[] = "/tmp/qm4720sim-test-XXXXXX";
        const int errFd = mkstemp(errName);
        if (errFd < 0) return false;
        close(errFd);
        stderrPath_ = errName;
        std::vector<std::string> argv{QM_SIM_PATH};
        argv.insert(argv.end(), args.begin(), args.end());
        for (std::size_t i = 0; i + 1 < args.size(); ++i) {
            if (args[i] == "--link") link_ = args[i + 1];
        }
        std::string error;
        child_ = host::StartChild(argv, error, {stderrPath_});
        if (child_ == nullptr) {
            ADD_FAILURE() << error;
            return false;
        }
        const auto deadline = Clock::now() + std::chrono::seconds(5);
        bool ready = false;
        for (std::string line; !ready && Clock::now() < deadline;) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (!child_->ReadLine(line, static_cast<int>(left.count()))) break;
            stdoutText_ += line + "\n";
            if (line.rfind("PORT=", 0) == 0) port_ = line.substr(5);
            ready = line == "READY";
        }
        if (ready && !port_.empty()) return true;
        Wait(std::chrono::seconds(5));
        return false;
    }

    // Sends `signal` and waits up to five seconds for the exit; the exit status, or -1. A link the
    // simulator could not take away itself (SIGKILL) goes too, as an unplugged device's does:
    // left behind, it would name the pseudo-terminal number that the next pseudo-terminal of any
    // program on the machine is given, and a service under test would reopen that one.
    int Stop(int signal = SIGTERM) {
        if (child_ == nullptr) return -1;
        const int status = child_->Stop(signal, 5000);
        // Only while it still names this simulator's terminal, and only at the stop that ended
        // it: a simulator started since on the same path (on the same terminal number, even)
        // has made it its own.
        char target[256] = {};
        if (!link_.empty() && readlink(link_.c_str(), target, sizeof target - 1) > 0 &&
            target == port_) {
            unlink(link_.c_str());
        }
        link_.clear();
        return status;
    }

    // Waits for the process to end by itself; its exit status, or -1 when it is still running.
    int Wait(std::chrono::milliseconds limit) {
        return child_ != nullptr ? child_->Wait(static_cast<int>(limit.count())) : -1;
    }

    std::string Stderr() const {
        std::ifstream in(stderrPath_);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    const std::string& port() const { return port_; }
    // What the program printed on stdout up to READY (or up to its exit).
    const std::string& Stdout() const { return stdoutText_; }
    int exitStatus() const { return child_ != nullptr ? child_->Wait(0) : -1; }

private:
    std::unique_ptr<host::ChildProcess> child_;
    std::string stderrPath_;
    std::string port_;
    std::string link_;  // --link's path, when given
    std::string stdoutText_;
};

// The host's end of the line: the pseudo-terminal opened raw, as a driver would.
class HostLine {
public:
    explicit HostLine(const std::string& path) {
        fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd_ >= 0) {
            termios tio{};
            tcgetattr(fd_, &tio);
            cfmakeraw(&tio);
            tcsetattr(fd_, TCSANOW, &tio);
        }
    }
    ~HostLine() {
        if (fd_ >= 0) close(fd_);
    }
    bool ok() const { return fd_ >= 0; }

    void Send(const Bytes& bytes) {
        sent_ = Clock::now();
        [[maybe_unused]] const ssize_t n = write(fd_, bytes.data(), bytes.size());
    }

    // One arrival of bytes and when it came.
    struct Piece {
        Clock::time_point at;
        Bytes bytes;
    };

    // Collects what arrives until `count` bytes are in or `limitMs` passed.
    std::vector<Piece> Collect(std::size_t count, int limitMs) {
        std::vector<Piece> pieces;
        std::size_t total = 0;
        const auto deadline = Clock::now() + std::chrono::milliseconds(limitMs);
        while (total < count) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now())
                    .count();
            if (left <= 0) break;
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
            std::uint8_t buffer[256];
            const ssize_t n = read(fd_, buffer, sizeof buffer);
            if (n <= 0) continue;
            pieces.push_back({Clock::now(), Bytes(buffer, buffer + n)});
            total += static_cast<std::size_t>(n);
        }
        return pieces;
    }

    // Pieces that came less than `gapMs` apart joined: the writes as the sender made them, since
    // a paced write arrives a byte or a few at a time.
    std::vector<Piece> Bursts(std::size_t count, int limitMs, int gapMs = 20) {
        std::vector<Piece> bursts;
        for (Piece& piece : Collect(count, limitMs)) {
            if (!bursts.empty() && piece.at - bursts.back().at < std::chrono::milliseconds(gapMs)) {
                bursts.back().bytes.insert(bursts.back().bytes.end(), piece.bytes.begin(),
                                           piece.bytes.end());
                bursts.back().at = piece.at;
            } else {
                bursts.push_back(std::move(piece));
            }
        }
        return bursts;
    }

    // Everything that arrives within `limitMs`, or until `count` bytes are in.
    Bytes Read(std::size_t count, int limitMs = 1000) {
        Bytes all;
        for (const Piece& piece : Collect(count, limitMs)) {
            all.insert(all.end(), piece.bytes.begin(), piece.bytes.end());
        }
        return all;
    }

    // Sends a request and returns the reply of `count` bytes (or what came within a second).
    Bytes Ask(const Bytes& request, std::size_t count, int limitMs = 1000) {
        Send(request);
        return Read(count, limitMs);
    }

    Clock::time_point sentAt() const { return sent_; }

private:
    int fd_ = -1;
    Clock::time_point sent_{};
};

}  // namespace simtest
