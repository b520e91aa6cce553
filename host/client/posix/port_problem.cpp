// Why a serial device cannot be opened on Linux: the path, the permission bits and the device's
// group, the lock the driver takes on a port it opens, and the processes that hold the device.
#include "host/client/port_problem.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace host {
namespace {

std::string PermissionProblem(const std::string& port, gid_t group) {
    const struct group* entry = getgrgid(group);
    const std::string name = entry != nullptr ? entry->gr_name : std::to_string(group);
    return port + ": permission denied: the device belongs to the group " + name +
           "; add your user to the group " + name + " (sudo usermod -aG " + name +
           " $USER) and log in again";
}

// "name (pid N)" for every other process with the character device `device` open.
std::string Holders(dev_t device) {
    std::string holders;
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return holders;
    const std::string self = std::to_string(getpid());
    while (const dirent* process = readdir(proc)) {
        const std::string pid = process->d_name;
        if (pid.find_first_not_of("0123456789") != std::string::npos || pid == self) continue;
        const std::string fdDir = "/proc/" + pid + "/fd";
        DIR* fds = opendir(fdDir.c_str());
        if (fds == nullptr) continue;  // another user's process, or gone
        bool holds = false;
        while (const dirent* fd = readdir(fds)) {
            struct stat st {};
            if (fd->d_name[0] != '.' && stat((fdDir + "/" + fd->d_name).c_str(), &st) == 0 &&
                S_ISCHR(st.st_mode) && st.st_rdev == device) {
                holds = true;
                break;
            }
        }
        closedir(fds);
        if (!holds) continue;
        std::ifstream comm("/proc/" + pid + "/comm");
        std::string name;
        std::getline(comm, name);
        holders += (holders.empty() ? "" : ", ") + (name.empty() ? "a process" : name) + " (pid " +
                   pid + ")";
    }
    closedir(proc);
    return holders;
}

std::string BusyProblem(const std::string& port, dev_t device) {
    const std::string holders = Holders(device);
    return port + ": busy: " +
           (holders.empty() ? "another process holds it (one this user may not see)"
                            : "held by " + holders);
}

}  // namespace

std::string PortOpenProblem(const std::string& port) {
    struct stat st {};
    if (stat(port.c_str(), &st) != 0) {
        const int code = errno;
        if (code == ENOENT || code == ENOTDIR) {
            return port + ": no such device (the ports of this machine: qm4720ctl ports)";
        }
        return port + ": " + std::strerror(code);
    }
    if (access(port.c_str(), R_OK | W_OK) != 0 && errno == EACCES) {
        return PermissionProblem(port, st.st_gid);
    }
    const int fd = open(port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int code = errno;
        if (code == EACCES) return PermissionProblem(port, st.st_gid);
        if (code == EBUSY) return BusyProblem(port, st.st_rdev);  // TIOCEXCL by its holder
        return port + ": " + std::strerror(code);
    }
    const bool terminal = isatty(fd) == 1;
    // The driver locks every port it opens, so that two programs never share one line.
    const bool locked = terminal && flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    close(fd);
    if (!terminal) return port + ": not a serial device";
    if (locked) return BusyProblem(port, st.st_rdev);
    return {};
}

std::string PortDeviceName(const std::string& port) {
    // The driver takes a port name of up to 31 characters. A longer one is most often a stable
    // link (/dev/serial/by-id/...), and the device it points at has a short name.
    if (port.size() < 32) return port;
    char resolved[PATH_MAX];
    return realpath(port.c_str(), resolved) != nullptr ? std::string(resolved) : port;
}

}  // namespace host
