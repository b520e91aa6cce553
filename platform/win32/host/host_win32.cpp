#include <io.h>

#include <cstdio>
#include <cstring>

#include "platform/host.h"

namespace platform {
namespace {

class DllModule : public LoadedModule {
public:
    explicit DllModule(HMODULE module) : module_(module) {}
    ~DllModule() override { FreeLibrary(module_); }
    DllModule(const DllModule&) = delete;
    DllModule& operator=(const DllModule&) = delete;

    GetClassObjectEntry GetClassObject() const override {
        return reinterpret_cast<GetClassObjectEntry>(
            reinterpret_cast<void*>(GetProcAddress(module_, "DllGetClassObject")));
    }
    ModuleEntry CanUnloadNow() const override {
        return reinterpret_cast<ModuleEntry>(
            reinterpret_cast<void*>(GetProcAddress(module_, "DllCanUnloadNow")));
    }
    ModuleEntry RegisterServer() const override {
        return reinterpret_cast<ModuleEntry>(
            reinterpret_cast<void*>(GetProcAddress(module_, "DllRegisterServer")));
    }

private:
    HMODULE module_;
};

// The program writes UTF-8 (the driver's messages converted from GBK). A console shows the bytes
// in its output code page, which is the system's OEM page by default (936 on a Chinese system,
// 437 or 850 elsewhere): while the program runs the console is switched to UTF-8, and its own
// page is given back at exit. Output into a pipe or a file is bytes as they are either way.
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

std::wstring Widen(const std::string& text, UINT codePage) {
    const int n =
        MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
    return wide;
}

}  // namespace

std::unique_ptr<LoadedModule> LoadDriverModule(const std::string& path, std::string& error) {
    HMODULE module = LoadLibraryA(path.c_str());
    if (module == nullptr) {
        error = "cannot load " + path + " (error " + std::to_string(GetLastError()) + ")";
        return nullptr;
    }
    auto loaded = std::make_unique<DllModule>(module);
    if (loaded->GetClassObject() == nullptr) {
        error = path + " does not export DllGetClassObject";
        return nullptr;
    }
    return loaded;
}

std::string DefaultModulePath() {
    char self[MAX_PATH];
    const DWORD n = GetModuleFileNameA(nullptr, self, MAX_PATH);
    std::string path(self, n);
    path.resize(path.find_last_of("\\/") + 1);
    return path + "qm4720.dll";
}

// The driver's interfaces have no proxy: the session is a single-threaded apartment, so the
// platform creates the object on this thread.
ComSession::ComSession() {
    CoInitialize(nullptr);
}
ComSession::~ComSession() {
    CoUninitialize();
}

void* CreateByProgId(const std::string& progId, REFIID iid, std::unique_ptr<LoadedModule>&,
                     std::string& error) {
    CLSID clsid{};
    HRESULT hr = CLSIDFromProgID(Widen(progId, CP_ACP).c_str(), &clsid);
    if (FAILED(hr)) {
        char code[16];
        std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(hr));
        error = progId + " is not registered (CLSIDFromProgID " + code + ")";
        return nullptr;
    }
    void* object = nullptr;
    hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, iid, &object);
    if (FAILED(hr)) {
        char code[16];
        std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(hr));
        error = "CoCreateInstance for " + progId + " failed with " + code;
        return nullptr;
    }
    return object;
}

std::string GbkToUtf8(std::string_view gbk) {
    const std::wstring wide = Widen(std::string(gbk), 936);
    const int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                      nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), out.data(), n,
                        nullptr, nullptr);
    return out;
}

bool StdoutIsTerminal() {
    return _isatty(_fileno(stdout)) != 0;
}

std::string PortDeviceName(const std::string& port) {
    // Only COM1..COM9 are known to the open call by their plain names; every COM port is found
    // in the device namespace, COM10 and above only there.
    const bool comPort = port.size() > 3 && port.size() <= 6 &&
                         _strnicmp(port.c_str(), "COM", 3) == 0 &&
                         port.find_first_not_of("0123456789", 3) == std::string::npos;
    return comPort ? "\\\\.\\" + port : port;
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
        ports.push_back({reinterpret_cast<char*>(data), name, {}, {}, {}});
    }
    RegCloseKey(key);
    return ports;
}

}  // namespace platform

namespace platform {

std::string ProgramDirectory() {
    char self[MAX_PATH];
    const DWORD n = GetModuleFileNameA(nullptr, self, MAX_PATH);
    std::string path(self, n);
    path.resize(path.find_last_of("\\/") + 1);
    return path;
}

std::unique_ptr<ChildProcess> StartChild(const std::vector<std::string>&, std::string& error) {
    // The demo starts the simulator on a new pseudo-terminal, which exists only on Linux.
    error =
        "the demo needs a pseudo-terminal (Linux); on Windows run qm4720sim --device on one end "
        "of a null-modem pair and qm4720ctl --port on the other";
    return nullptr;
}

}  // namespace platform

namespace platform {

std::unique_ptr<LineTap> StartLineTap(const TapLine&, std::string& error) {
    // The pass-through hands the driver a pseudo-terminal, which Windows does not have.
    error = "--trace is available on Linux only; on Windows use a port monitor";
    return nullptr;
}

}  // namespace platform
