// The console, the time zone and the COM ports of this machine on Windows.
#include <io.h>

#include <ctime>
#include <utility>

#include <windows.h>

#include "host/oskit/system_text.h"

namespace host {
namespace {

// The program writes UTF-8 (the driver's messages converted from GBK by the host library). A
// console shows the bytes in its output code page, which is the system's OEM page by default (936
// on a Chinese system, 437 or 850 elsewhere): while the program runs the console is switched to
// UTF-8, and its own page is given back at exit. Output into a pipe or a file is bytes as they are
// either way.
class ConsoleCodePage {
public:
    ConsoleCodePage() : saved_(GetConsoleOutputCP()) {
        if (saved_ != 0 && saved_ != CP_UTF8) SetConsoleOutputCP(CP_UTF8);
    }
    ~ConsoleCodePage() {
        if (saved_ != 0 && saved_ != CP_UTF8) SetConsoleOutputCP(saved_);
    }
    ConsoleCodePage(const ConsoleCodePage&) = delete;
    ConsoleCodePage& operator=(const ConsoleCodePage&) = delete;

private:
    UINT saved_;  // 0 when the program has no console
};
const ConsoleCodePage g_consoleCodePage;

}  // namespace

bool StdoutIsTerminal() {
    return _isatty(_fileno(stdout)) != 0;
}

bool StdoutTerminalSize(int& columns, int& rows) {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!StdoutIsTerminal() || !GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info))
        return false;
    columns = info.srWindow.Right - info.srWindow.Left + 1;
    rows = info.srWindow.Bottom - info.srWindow.Top + 1;
    return columns > 0 && rows > 0;
}

int LocalUtcOffsetMinutes(long long unixSeconds) {
    // The local broken-down time read back as if it were UTC is ahead of the instant by the
    // offset.
    const auto t = static_cast<__time64_t>(unixSeconds);
    std::tm local{};
    if (_localtime64_s(&local, &t) != 0) return 0;
    return static_cast<int>((_mkgmtime64(&local) - t) / 60);
}

std::vector<SerialPortInfo> ListSerialPorts() {
    std::vector<SerialPortInfo> ports;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
        ERROR_SUCCESS) {
        return ports;
    }
    for (DWORD index = 0;; ++index) {
        char name[256];
        BYTE data[256];
        DWORD nameSize = sizeof name;
        DWORD dataSize = sizeof data - 1;
        DWORD type = 0;
        if (RegEnumValueA(key, index, name, &nameSize, nullptr, &type, data, &dataSize) !=
            ERROR_SUCCESS) {
            break;
        }
        if (type != REG_SZ) continue;
        data[dataSize] = 0;
        // The value's name is the device object (\Device\Serial0), its data the port name.
        SerialPortInfo port;
        port.name = reinterpret_cast<char*>(data);
        port.driver = name;
        ports.push_back(std::move(port));
    }
    RegCloseKey(key);
    return ports;
}

}  // namespace host
