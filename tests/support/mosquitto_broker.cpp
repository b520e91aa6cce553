#include "tests/support/mosquitto_broker.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>

namespace service::testing {
namespace {

bool Accepts(std::uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return ok;
}

std::vector<char*> Argv(const std::vector<std::string>& argv) {
    std::vector<char*> pointers;
    for (const std::string& arg : argv) pointers.push_back(const_cast<char*>(arg.c_str()));
    pointers.push_back(nullptr);
    return pointers;
}

// Forks `argv` with its stdout on the write end of a new pipe; the read end in `readFd`.
pid_t Spawn(const std::vector<std::string>& argv, int& readFd) {
    int fds[2];
    if (pipe(fds) != 0) return -1;
    std::vector<char*> pointers = Argv(argv);
    const pid_t pid = fork();
    if (pid == 0) {
        // mosquitto_sub -W says "Timed out" on stderr: the expected end of a read, not news.
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, STDERR_FILENO);
        dup2(fds[1], STDOUT_FILENO);
        close(fds[0]);
        close(fds[1]);
        execv(pointers[0], pointers.data());
        _exit(127);
    }
    close(fds[1]);
    readFd = fds[0];
    if (pid < 0) {
        close(fds[0]);
        readFd = -1;
    }
    return pid;
}

}  // namespace

MosquittoBroker::MosquittoBroker(std::uint16_t port, const std::string& listenerOptions)
    : port_(port) {
    char pattern[] = "/tmp/qm-mqtt-XXXXXX";
    if (mkdtemp(pattern) != nullptr) dir_ = pattern;
    std::ofstream(dir_ + "/mosquitto.conf") << "listener " << port_ << " 127.0.0.1\n"
                                            << listenerOptions << "allow_anonymous true\n"
                                            << "persistence false\n"
                                            << "log_dest none\n"
                                            << "max_queued_messages 0\n"
                                            << "max_inflight_messages 0\n";
}

MosquittoBroker::~MosquittoBroker() {
    Kill();
    if (!dir_.empty()) {
        std::remove((dir_ + "/mosquitto.conf").c_str());
        rmdir(dir_.c_str());
    }
}

bool MosquittoBroker::Start() {
    Kill();
    const std::string conf = dir_ + "/mosquitto.conf";
    std::vector<std::string> argv{kMosquittoPath, "-c", conf};
    std::vector<char*> pointers = Argv(argv);
    pid_ = fork();
    if (pid_ == 0) {
        execv(pointers[0], pointers.data());
        _exit(127);
    }
    if (pid_ < 0) return false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
            pid_ = -1;
            return false;
        }
        if (Accepts(port_)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

void MosquittoBroker::Kill() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

std::string RunAndRead(const std::vector<std::string>& argv) {
    ChildReader child(argv);
    std::string out;
    char buffer[4096];
    ssize_t n = 0;
    while (child.fd() >= 0 && (n = read(child.fd(), buffer, sizeof buffer)) > 0) {
        out.append(buffer, static_cast<std::size_t>(n));
    }
    child.Wait();
    return out;
}

ChildReader::ChildReader(const std::vector<std::string>& argv) {
    pid_ = Spawn(argv, fd_);
}

ChildReader::~ChildReader() {
    Kill();
    if (fd_ >= 0) close(fd_);
}

void ChildReader::Kill() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

int ChildReader::Wait() {
    if (pid_ <= 0) return -1;
    int status = 0;
    const pid_t done = waitpid(pid_, &status, 0);
    pid_ = -1;
    return done > 0 ? status : -1;
}

}  // namespace service::testing
