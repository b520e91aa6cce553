// The driver's GBK texts, the terminal and the serial ports of this machine on Linux: iconv, isatty
// and the tty class of sysfs.
#include <dirent.h>
#include <iconv.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>

#include "host/system_text.h"

namespace host {

std::string GbkToUtf8(std::string_view gbk) {
    iconv_t cd = iconv_open("UTF-8", "GBK");
    if (cd == reinterpret_cast<iconv_t>(-1)) return std::string(gbk);
    std::string in(gbk);
    std::string out(in.size() * 3 + 4, '\0');
    char* inPtr = in.data();
    char* outPtr = out.data();
    std::size_t inLeft = in.size();
    std::size_t outLeft = out.size();
    while (inLeft > 0 && iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) == static_cast<size_t>(-1)) {
        // A byte that is not GBK is shown as '?' rather than dropping the rest of the message.
        if (outLeft == 0) break;
        *outPtr++ = '?';
        --outLeft;
        ++inPtr;
        --inLeft;
    }
    iconv_close(cd);
    out.resize(out.size() - outLeft);
    return out;
}

bool StdoutIsTerminal() {
    return isatty(STDOUT_FILENO) == 1;
}

std::string PortDeviceName(const std::string& port) {
    return port;
}

namespace {

std::string ReadLine(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

std::string LinkName(const std::string& path) {
    char target[4096];
    const ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
    if (n <= 0) return {};
    std::string text(target, static_cast<std::size_t>(n));
    return text.substr(text.rfind('/') + 1);
}

}  // namespace

std::vector<SerialPortInfo> ListSerialPorts() {
    std::vector<SerialPortInfo> ports;
    DIR* dir = opendir("/sys/class/tty");
    if (dir == nullptr) return ports;
    while (dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        const std::string base = "/sys/class/tty/" + name;
        // Only ttys backed by a device are ports; virtual consoles and ptys have none.
        const std::string driver = LinkName(base + "/device/driver");
        if (driver.empty()) continue;
        // The legacy 8250 driver lists every possible port; keep those with real hardware.
        if (driver == "serial8250" && ReadLine(base + "/type") == "0") continue;
        SerialPortInfo info{"/dev/" + name, driver, {}, {}, {}};
        // A USB adapter: its identifiers sit a few levels up the device path.
        for (std::string up = base + "/device"; up.size() < base.size() + 40; up += "/..") {
            const std::string vendor = ReadLine(up + "/idVendor");
            if (vendor.empty()) continue;
            info.usbVendor = vendor;
            info.usbProduct = ReadLine(up + "/idProduct");
            info.description = ReadLine(up + "/manufacturer");
            const std::string product = ReadLine(up + "/product");
            if (!product.empty())
                info.description += (info.description.empty() ? "" : " ") + product;
            break;
        }
        ports.push_back(std::move(info));
    }
    closedir(dir);
    std::sort(ports.begin(), ports.end(),
              [](const SerialPortInfo& a, const SerialPortInfo& b) { return a.name < b.name; });
    return ports;
}

}  // namespace host
