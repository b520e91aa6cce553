#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>

#include "platform/host.h"

namespace platform {
namespace {

class PosixChild : public ChildProcess {
public:
    PosixChild(pid_t pid, int output) : pid_(pid), output_(output) {}
    ~PosixChild() override {
        kill(pid_, SIGTERM);
        int status = 0;
        while (waitpid(pid_, &status, 0) == -1 && errno == EINTR) {
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

private:
    pid_t pid_;
    int output_;
    std::string pending_;
};

}  // namespace

std::string ProgramDirectory() {
    char self[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return "./";
    std::string path(self, static_cast<std::size_t>(n));
    path.resize(path.rfind('/') + 1);
    return path;
}

std::unique_ptr<ChildProcess> StartChild(const std::vector<std::string>& argv, std::string& error) {
    if (argv.empty()) {
        error = "no program given";
        return nullptr;
    }
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        error = std::strerror(errno);
        return nullptr;
    }
    // A status pipe that closes on a successful exec tells an exec failure from a start.
    int status[2];
    if (pipe2(status, O_CLOEXEC) != 0) {
        error = std::strerror(errno);
        close(fds[0]);
        close(fds[1]);
        return nullptr;
    }
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const pid_t pid = fork();
    if (pid < 0) {
        error = std::strerror(errno);
        for (int fd : {fds[0], fds[1], status[0], status[1]}) close(fd);
        return nullptr;
    }
    if (pid == 0) {
        dup2(fds[1], STDOUT_FILENO);
        const int devnull = open("/dev/null", O_WRONLY);
        if (devnull >= 0) dup2(devnull, STDERR_FILENO);
        execv(args[0], args.data());
        const int code = errno;
        (void)!write(status[1], &code, sizeof code);
        _exit(127);
    }
    close(fds[1]);
    close(status[1]);
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

}  // namespace platform
