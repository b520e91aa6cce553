// One driver object as qm4720ctl uses it: created from the module the way a host does, called
// only through its two interfaces' slot tables, released before the program ends.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "driver/interfaces.h"
#include "platform/host.h"

namespace ctl {

// How the driver module is found.
struct ModuleChoice {
    std::string modulePath;  // load this file (default: the module beside the program)
    std::string progId;      // or activate by programmatic identifier
};

// One value read from or written to an instrument register.
struct Reading {
    bool ok = false;
    std::uint16_t type = 0;  // DataType of the register
    double value = 0;        // valid only when ok
    std::int16_t quality = 0;
    std::uint64_t fileTime = 0;  // 100 ns since 1601-01-01 UTC, as the driver stamped it
    std::string error;           // the driver's message in UTF-8, when !ok
    double latencyMs = 0;        // wall time of the call
};

// A register resolved against the model's table.
struct RegisterRef {
    std::string mnemonic;
    std::int16_t index = -1;
    std::uint16_t type = 0;
    bool readOnly = false;
};

class DriverSession {
public:
    // Creates the driver object; null with `error` set when the module cannot be loaded or the
    // object cannot be created.
    static std::unique_ptr<DriverSession> Create(const ModuleChoice& choice, std::string& error);
    ~DriverSession();
    DriverSession(const DriverSession&) = delete;
    DriverSession& operator=(const DriverSession&) = delete;

    IDeviceDriver* Driver() const { return driver_; }
    IDeviceDriverEx* DriverEx() const { return driverEx_; }

    // The driver's last error text, converted to UTF-8 (empty when none).
    std::string ErrorText() const;

    std::span<const RegisterDescriptor> RegisterTable(const std::string& model) const;

    // Resolves a register text through ParseRegister; nullopt with `error` set when refused.
    std::optional<RegisterRef> Resolve(const std::string& model, const std::string& text,
                                       std::uint16_t typeMask, std::string& error) const;

    bool Open(const PortSettings& settings, std::string& error);
    void Close();

    Reading Read(const std::string& model, std::int16_t station, const RegisterRef& reg);
    Reading Write(const std::string& model, std::int16_t station, const RegisterRef& reg,
                  double value);
    bool Probe(const std::string& model, std::int16_t station);

    // The module's self-registration entry point, when loaded by path (else null).
    platform::ModuleEntry RegisterServer() const;

private:
    DriverSession() = default;
    Reading Exchange(const std::string& model, std::int16_t station, const RegisterRef& reg,
                     std::int16_t direction, double value);

    std::unique_ptr<platform::ComSession> com_;
    std::unique_ptr<platform::LoadedModule> module_;
    IDeviceDriver* driver_ = nullptr;
    IDeviceDriverEx* driverEx_ = nullptr;
    bool portOpen_ = false;
};

// The English gloss of a driver failure for the terminal, from its DriverError code.
std::string ErrorGloss(std::int32_t code);

}  // namespace ctl
