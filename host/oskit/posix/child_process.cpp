// Child programs on Linux: fork and exec, the child's standard output on a pipe, its standard error
// in a file or nowhere, and an exec failure told apart from a start by a status pipe.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "host/oskit/child_process.h"

namespace host {
namespace {

class PosixChild : public ChildProcess {
public:
    PosixChild(pid_t pid, int output) : pid_(pid), output_(output) {}
    ~PosixChild() override {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            int status = 0;
            while (waitpid(pid_, &status, 0) == -1 && errno == EINTR) {
            }
        }
        close(output_);
    }
    PosixChild(const PosixChild&) = delete;
    PosixChild& operator=(const PosixChild&) = delete;

    bool ReadLine(std::string& line, int timeoutMs) override {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            const std::size_t end = pending_.find('\n');
            if (end != std::string::npos) {
                line = pending_.substr(0, end);
                pending_.erase(0, end + 1);
                return true;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return false;
            pollfd p{output_, POLLIN, 0};
            const int ready = poll(&p, 1, static_cast<int>(left.count()));
            if (ready < 0 && errno == EINTR) continue;
            if (ready <= 0) return false;
            char buffer[512];
            const ssize_t n = read(output_, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            pending_.append(buffer, static_cast<std::size_t>(n));
        }
    }

    int Stop(int signal, int timeoutMs) override {
        if (pid_ > 0) kill(pid_, signal);
        return Wait(timeoutMs);
    }

    int Wait(int timeoutMs) override {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (pid_ > 0) {
            int status = 0;
            const pid_t done = waitpid(pid_, &status, WNOHANG);
            if (done == pid_) {
                pid_ = -1;
                exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                break;
            }
            if (std::chrono::steady_clock::now() >= deadline) return -1;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return exitStatus_;
    }

private:
    pid_t pid_;  // -1 once the child has been waited for
    int output_;
    int exitStatus_ = -1;
    std::string pending_;
};

}  // namespace

std::unique_ptr<ChildProcess> StartChild(const std::vector<std::string>& argv, std::string& error,
                                         const ChildOptions& options) {
    if (argv.empty()) {
        error = "no program given";
        return nullptr;
    }
    const std::string errorPath = options.stderrPath.empty() ? "/dev/null" : options.stderrPath;
    const int errorFd = open(errorPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (errorFd < 0) {
        error = "cannot open " + errorPath + ": " + std::strerror(errno);
        return nullptr;
    }
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        error = std::strerror(errno);
        close(errorFd);
        return nullptr;
    }
    // A status pipe that closes on a successful exec tells an exec failure from a start.
    int status[2];
    if (pipe2(status, O_CLOEXEC) != 0) {
        error = std::strerror(errno);
        for (int fd : {fds[0], fds[1], errorFd}) close(fd);
        return nullptr;
    }
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const pid_t pid = fork();
    if (pid < 0) {
        error = std::strerror(errno);
        for (int fd : {fds[0], fds[1], status[0], status[1], errorFd}) close(fd);
        return nullptr;
    }
    if (pid == 0) {
        dup2(fds[1], STDOUT_FILENO);
        dup2(errorFd, STDERR_FILENO);
        execv(args[0], args.data());
        const int code = errno;
        (void)!write(status[1], &code, sizeof code);
        _exit(127);
    }
    close(fds[1]);
    close(status[1]);
    close(errorFd);
    int code = 0;
    const ssize_t n = read(status[0], &code, sizeof code);
    close(status[0]);
    if (n == static_cast<ssize_t>(sizeof code)) {
        error = "cannot start " + argv[0] + ": " + std::strerror(code);
        waitpid(pid, nullptr, 0);
        close(fds[0]);
        return nullptr;
    }
    return std::make_unique<PosixChild>(pid, fds[0]);
}

}  // namespace host
