// One driver object as a host uses it: created from the module the way a host does, called only
// through its two interfaces' slot tables, released when the session ends. It is the private part
// of the public qm4720::Driver (host/client/public_api.cpp): every program uses that Driver, and
// only host/client/*.cpp and the host tests include this header.
//
// Threads: a session is not safe for concurrent use. Create it, call it and destroy it on one
// thread (on Windows the object lives in that thread's single-threaded apartment). Two sessions
// on different ports may run on different threads.
//
// Blocking: Open, Read, Write and Probe talk to the instrument and block the calling thread for
// the exchange: up to the reply timeout of the port settings plus the time on the wire (a probe of
// a silent station at 9600 baud and the default 1500 ms timeout takes about 1.6 s). The others
// return at once.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include <qm4720/qm4720.h>

#include "contract/messages.h"
#include "host/client/activation.h"
#include "host/client/module_loader.h"
#include "qm4720/qm4720.hpp"
#include "records/port_settings.h"
#include "records/register_descriptor.h"

namespace host {

// The module's record for opening `device` with the settings of `line`. False when the device's
// name is empty or longer than the 31 characters the module takes; `settings` is then untouched.
bool PortSettingsFor(const std::string& device, const qm4720::LineSettings& line,
                     PortSettings& settings);

// How the driver module is found.
struct ModuleChoice {
    std::string modulePath;  // load this file ("" : DefaultModulePath())
    std::string progId;      // or, when not empty, activate by programmatic identifier
};

// One value read from or written to an instrument register.
struct Reading {
    bool ok = false;
    std::uint16_t type = 0;      // DataType of the register
    double value = 0;            // the value read, or the value written; valid only when ok
    std::int16_t quality = 0;    // as the driver stamped the item (192 good); reads only
    std::uint64_t fileTime = 0;  // 100 ns since 1601-01-01 UTC, as the driver stamped it; reads
    // When !ok: the driver's message in UTF-8 and its DriverError code. Both are empty and
    // kErrorNone when the driver recorded no new reason: a write that the meter refused (NAK).
    std::string error;
    std::int32_t errorCode = contract::kErrorNone;
    double latencyMs = 0;  // wall time of the call
};

// A register resolved against the model's table.
struct RegisterRef {
    std::string mnemonic;
    std::int16_t index = -1;  // the register's index in the model's table
    std::uint16_t type = 0;   // DataType
    bool readOnly = false;
};

class DriverSession {
public:
    // Loads the module (or activates the class by programmatic identifier) and creates one driver
    // object with both interfaces. Null with `error` set (what failed and, from the system, why)
    // when the module cannot be loaded or the object cannot be created; nothing is left loaded.
    static std::unique_ptr<DriverSession> Create(const ModuleChoice& choice, std::string& error);

    // Closes the port if this session opened it, releases the object, then unloads the module.
    ~DriverSession();
    DriverSession(const DriverSession&) = delete;
    DriverSession& operator=(const DriverSession&) = delete;

    // The object's interfaces, for calls this class does not wrap. They stay the session's: do
    // not release them, and do not use them after the session is gone.
    IDeviceDriver* Driver() const { return driver_; }
    IDeviceDriverEx* DriverEx() const { return driverEx_; }

    // The driver's last error text, converted to UTF-8 (empty when none), and its DriverError
    // code (kErrorNone when none). The driver keeps its last error until a new failure replaces
    // it: ask right after the call that failed.
    std::string ErrorText() const;
    std::int32_t ErrorCode() const;

    // The register table of `model` ("" or an unknown name: the default model). The entries are
    // the module's constant data, valid while the session lives. Empty if the driver gives none.
    std::span<const RegisterDescriptor> RegisterTable(const std::string& model) const;

    // Resolves a register text through ParseRegister, accepting the data types of `typeMask`.
    // nullopt with `error` set to the driver's message (UTF-8) when refused; ErrorCode() then
    // tells why.
    std::optional<RegisterRef> Resolve(const std::string& model, const std::string& text,
                                       std::uint16_t typeMask, std::string& error) const;

    // The driver's check of a station text: its number, or nullopt with `error` set to the
    // driver's message (UTF-8); ErrorCode() then tells why.
    std::optional<int> CheckStation(const std::string& text, std::string& error) const;

    // Opens and configures the port of `settings`. False with `error` set to the driver's message
    // (UTF-8) when it cannot; ErrorCode() then tells why, and no port is held.
    bool Open(const PortSettings& settings, std::string& error);
    // Closes the port opened by Open; nothing happens when none is open.
    void Close();

    // One exchange with register `reg` of `station` on the open port. A failure is in the
    // result, never thrown; the session stays usable after it.
    Reading Read(const std::string& model, std::int16_t station, const RegisterRef& reg);
    // A write sends the value as the meter's field carries it (FitWrite) and reports that value;
    // one the field cannot carry is refused with kErrorValueRange before the line.
    Reading Write(const std::string& model, std::int16_t station, const RegisterRef& reg,
                  double value);
    // True when `station` answered a read of its first register.
    bool Probe(const std::string& model, std::int16_t station);

    // The module's self-registration entry point, when loaded by path (else null).
    ModuleEntry RegisterServer() const;

private:
    DriverSession() = default;
    Reading Exchange(const std::string& model, std::int16_t station, const RegisterRef& reg,
                     std::int16_t direction, double value);

    std::unique_ptr<ComSession> com_;
    std::unique_ptr<LoadedModule> module_;
    IDeviceDriver* driver_ = nullptr;
    IDeviceDriverEx* driverEx_ = nullptr;
    bool portOpen_ = false;
};

}  // namespace host
