// What the host program needs from the operating system: loading the driver module, converting
// the driver's GBK messages for the terminal, and listing serial ports. Used by the tools only;
// the driver module never links it.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace platform {

// The module's exported class-object entry point.
using GetClassObjectEntry = HRESULT(STDMETHODCALLTYPE*)(REFCLSID clsid, REFIID iid, void** out);
using ModuleEntry = HRESULT(STDMETHODCALLTYPE*)();

// A loaded driver module; unloaded when destroyed.
class LoadedModule {
public:
    virtual ~LoadedModule() = default;
    virtual GetClassObjectEntry GetClassObject() const = 0;
    virtual ModuleEntry CanUnloadNow() const = 0;
    virtual ModuleEntry RegisterServer() const = 0;
};

// Loads the module at `path` and finds its three exports; null with `error` set on failure.
std::unique_ptr<LoadedModule> LoadDriverModule(const std::string& path, std::string& error);

// The driver module that the build puts beside the running program.
std::string DefaultModulePath();

// A component-platform session for the calling thread (initialised on Windows for activation
// by programmatic identifier; nothing to do on Linux). Ends when destroyed.
class ComSession {
public:
    ComSession();
    ~ComSession();
    ComSession(const ComSession&) = delete;
    ComSession& operator=(const ComSession&) = delete;
};

// Creates an object of the class that `progId` names, through the platform's activation, and
// returns its interface `iid`. On Linux the identifier is resolved through the registry file
// (ProgID -> CLSID -> InProcServer32 -> module path) and the module is loaded and kept in
// `keepLoaded`. Returns null with `error` set on failure.
void* CreateByProgId(const std::string& progId, REFIID iid,
                     std::unique_ptr<LoadedModule>& keepLoaded, std::string& error);

// Converts a GBK text of the driver to UTF-8 for the terminal.
std::string GbkToUtf8(std::string_view gbk);

// True when standard output is an interactive terminal.
bool StdoutIsTerminal();

// One serial port of this machine, with what the system knows of it.
struct SerialPortInfo {
    std::string name;       // what OpenPort takes: /dev/ttyUSB0, COM3
    std::string driver;     // kernel or system driver, if known
    std::string usbVendor;  // USB vendor and product identifiers, if a USB adapter
    std::string usbProduct;
    std::string description;  // manufacturer / product text, if known
};
std::vector<SerialPortInfo> ListSerialPorts();

// The name under which the platform's open call finds the port a user named: on Windows a COM
// port gets the device prefix ("COM12" -> "\\.\COM12"), without which COM10 and above cannot be
// opened; on Linux the device path as given.
std::string PortDeviceName(const std::string& port);

// A tracing pass-through between the driver and a real serial device: a new pseudo-terminal that
// the driver opens in place of the device, and a thread that passes every byte both ways and
// writes a time-stamped trace line (hex and text) to stderr. Stops when destroyed.
class LineTap {
public:
    virtual ~LineTap() = default;
    // The port name to give the driver instead of the device.
    virtual const std::string& PortName() const = 0;
};

struct TapLine {
    std::string device;
    int baud = 9600;
    int dataBits = 8;
    std::string parity = "none";
    int stopBits = 1;
};

// Opens `line.device` with its settings and starts the pass-through; null with `error` set.
std::unique_ptr<LineTap> StartLineTap(const TapLine& line, std::string& error);

// The folder of the running program, with a trailing separator.
std::string ProgramDirectory();

// A child program whose standard output the parent reads line by line; its standard error is
// discarded. Asked to stop (and waited for) when destroyed.
class ChildProcess {
public:
    virtual ~ChildProcess() = default;
    // One line of the child's output without its line end; false on end of output or when
    // `timeoutMs` passes first.
    virtual bool ReadLine(std::string& line, int timeoutMs) = 0;
};

// Starts `argv[0]` with the given arguments; null with `error` set when it cannot be started.
std::unique_ptr<ChildProcess> StartChild(const std::vector<std::string>& argv, std::string& error);

}  // namespace platform
