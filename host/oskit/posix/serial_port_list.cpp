#include "host/oskit/posix/serial_port_list.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>

namespace host {
namespace {

std::string ReadLine(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

// The last part of the target of the link `path`; empty when it is not a link.
std::string LinkName(const std::string& path) {
    char target[4096];
    const ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
    if (n <= 0) return {};
    const std::string text(target, static_cast<std::size_t>(n));
    return text.substr(text.rfind('/') + 1);
}

std::vector<std::string> Entries(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (const dirent* entry = readdir(d)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..") names.push_back(name);
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// The driver of the hardware behind a tty. Since Linux 6.3 a port's device is the serial core's
// own "port" device under a "ctrl" device; the hardware's driver sits above them.
std::string KernelDriver(const std::string& device) {
    std::string at = device;
    for (int level = 0; level < 4 && LinkName(at + "/subsystem") == "serial-base"; ++level) {
        at += "/..";
    }
    return LinkName(at + "/driver");
}

}  // namespace

std::vector<SerialPortInfo> ListSerialPortsIn(const std::string& ttyClassDir,
                                              const std::string& byIdDir) {
    std::vector<SerialPortInfo> ports;
    const std::vector<std::string> byId = Entries(byIdDir);
    for (const std::string& name : Entries(ttyClassDir)) {
        const std::string base = ttyClassDir + "/" + name;
        // Only ttys backed by a device are ports; virtual consoles and ptys have none.
        if (LinkName(base + "/device").empty()) continue;
        // A legacy UART driver lists every possible port; type 0 is a slot without hardware.
        if (ReadLine(base + "/type") == "0") continue;
        SerialPortInfo info;
        info.name = "/dev/" + name;
        info.driver = KernelDriver(base + "/device");
        // A USB adapter: its identifiers sit a few levels up the device path.
        for (std::string up = base + "/device"; up.size() < base.size() + 40; up += "/..") {
            const std::string vendor = ReadLine(up + "/idVendor");
            if (vendor.empty()) continue;
            info.usbVendor = vendor;
            info.usbProduct = ReadLine(up + "/idProduct");
            info.serialNumber = ReadLine(up + "/serial");
            info.description = ReadLine(up + "/manufacturer");
            const std::string product = ReadLine(up + "/product");
            if (!product.empty())
                info.description += (info.description.empty() ? "" : " ") + product;
            break;
        }
        for (const std::string& link : byId) {
            if (LinkName(byIdDir + "/" + link) == name)
                info.stableNames.push_back(byIdDir + "/" + link);
        }
        ports.push_back(std::move(info));
    }
    return ports;
}

}  // namespace host
