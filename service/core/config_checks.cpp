// What the configuration's text alone cannot tell: whether two ports are one device, and whether
// the history's database can be kept where the file puts it.
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "host/oskit/bridge/network_port.h"
#include "service/core/service_config.h"

namespace service {
namespace {

bool Under(const std::string& path, std::string_view folder) {
    return path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 &&
           path[folder.size()] == '/';
}

}  // namespace

std::string PortIdentity(const std::string& port) {
    host::NetworkPort network;
    std::string malformed;
    if (host::ReadPortName(port, network, malformed) == host::PortKind::kNetwork) {
        return host::NetworkPortIdentity(network);
    }
    struct stat device {};
    // A serial device, however it is named (/dev//ttyUSB0, a link in /dev/serial/by-id): its
    // device number.
    if (::stat(port.c_str(), &device) == 0 && S_ISCHR(device.st_mode)) {
        return "device " + std::to_string(major(device.st_rdev)) + ":" +
               std::to_string(minor(device.st_rdev));
    }
    char resolved[PATH_MAX];
    if (::realpath(port.c_str(), resolved) != nullptr) return resolved;
    // Not there now (an adapter unplugged): at least the same spelling, once normalised.
    return std::filesystem::path(port).lexically_normal().string();
}

std::string PortProblem(const std::string& port) {
    if (port.empty()) return "expected a device, a link to one, or tcp://HOST:PORT";
    host::NetworkPort network;
    std::string error;
    switch (host::ReadPortName(port, network, error)) {
        case host::PortKind::kNetwork:
            return {};
        case host::PortKind::kMalformed:
            return error;
        case host::PortKind::kDevice:
            break;
    }
    // The driver's port record holds 31 characters and a NUL; a link is followed first.
    if (port.size() <= 31) return {};
    struct stat link {};
    if (::lstat(port.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) return {};
    // An adapter's stable name is gone while it is unplugged; the line waits for it.
    if (Under(port, "/dev/serial")) return {};
    return port + " has " + std::to_string(port.size()) +
           " characters and is not a link: the driver takes a device name of at most 31 "
           "(a link to a device, such as /dev/serial/by-id/..., may be longer)";
}

std::vector<std::string> HistoryPlaceWarnings(const HistoryConfig& history) {
    std::vector<std::string> warnings;
    if (history.database.empty()) return warnings;
    const std::filesystem::path db = std::filesystem::absolute(history.database).lexically_normal();
    const std::string folder = db.parent_path().string();
    const std::string where = "history.database " + history.database + ": ";
    struct stat info {};
    if (::stat(folder.c_str(), &info) != 0) {
        warnings.push_back(where + "its folder " + folder + " cannot be used (" +
                           std::strerror(errno) + "); the service would not start with it");
    } else if (!S_ISDIR(info.st_mode)) {
        warnings.push_back(where + folder + " is not a folder; the service would not start");
    } else if (::access(folder.c_str(), W_OK | X_OK) != 0) {
        warnings.push_back(where + "its folder " + folder + " cannot be written (" +
                           std::strerror(errno) + "); the service would not start with it");
    } else if (::access(db.c_str(), F_OK) == 0 && ::access(db.c_str(), W_OK) != 0) {
        warnings.push_back(where + "the file cannot be written (" + std::strerror(errno) +
                           "); the service would not start with it");
    }
    if (Under(db.string(), "/tmp") || Under(db.string(), "/var/tmp")) {
        warnings.push_back(where +
                           "under a temporary folder: the unit's PrivateTmp=yes gives the "
                           "service a /tmp of its own that is emptied at every stop, and "
                           "the history with it; use /var/lib/qm4720d/");
    }
    return warnings;
}

}  // namespace service
