#include "host/client/driver_session.h"

#include <chrono>
#include <cmath>
#include <cstring>

#include "contract/data_type.h"
#include "contract/message_codes.h"
#include "contract/meter_values.h"
#include "host/client/gbk_text.h"
#include "records/io_request.h"
#include "records/tag.h"

namespace host {

bool PortSettingsFor(const std::string& device, const qm4720::LineSettings& line,
                     PortSettings& settings) {
    PortSettings made{};
    if (device.empty() || device.size() >= sizeof made.portName) return false;
    std::memcpy(made.portName, device.data(), device.size());
    made.baudRate = line.baud;
    made.dataBits = static_cast<std::uint8_t>(line.dataBits);
    made.stopBits = static_cast<std::int16_t>(line.stopBits);
    made.parity = static_cast<std::uint8_t>(line.parity);
    made.replyTimeout = static_cast<std::int16_t>(line.replyTimeoutMs);
    settings = made;
    return true;
}

std::unique_ptr<DriverSession> DriverSession::Create(const ModuleChoice& choice,
                                                     std::string& error) {
    std::unique_ptr<DriverSession> session(new DriverSession());
    session->com_ = std::make_unique<ComSession>();
    void* object = nullptr;
    if (!choice.progId.empty()) {
        object = CreateByProgId(choice.progId, QM4720_IID_DEVICE_DRIVER, session->module_, error);
        if (object == nullptr) return nullptr;
    } else {
        const std::string path =
            choice.modulePath.empty() ? DefaultModulePath(error) : choice.modulePath;
        if (path.empty()) return nullptr;
        session->module_ = LoadDriverModule(path, error);
        if (session->module_ == nullptr) return nullptr;
        void* factoryPointer = nullptr;
        HRESULT hr = session->module_->GetClassObject()(QM4720_CLSID_DRIVER,
                                                        QM4720_IID_CLASS_FACTORY, &factoryPointer);
        if (hr != kStatusOk || factoryPointer == nullptr) {
            error = "the module hands out no class factory for the driver (status " +
                    std::to_string(static_cast<std::uint32_t>(hr)) + ")";
            return nullptr;
        }
        auto* factory = static_cast<QM4720ClassFactory*>(factoryPointer);
        hr = factory->lpVtbl->CreateInstance(factory, nullptr, QM4720_IID_DEVICE_DRIVER, &object);
        factory->lpVtbl->Release(factory);
        if (hr != kStatusOk || object == nullptr) {
            error = "the class factory could not create the driver object (status " +
                    std::to_string(static_cast<std::uint32_t>(hr)) + ")";
            return nullptr;
        }
    }
    session->driver_ = static_cast<IDeviceDriver*>(object);
    void* ex = nullptr;
    if (session->driver_->lpVtbl->QueryInterface(session->driver_, QM4720_IID_DEVICE_DRIVER_EX,
                                                 &ex) != kStatusOk) {
        error = "the driver object has no IDeviceDriverEx";
        return nullptr;
    }
    session->driverEx_ = static_cast<IDeviceDriverEx*>(ex);
    return session;
}

DriverSession::~DriverSession() {
    Close();
    if (driverEx_ != nullptr) driverEx_->lpVtbl->Release(driverEx_);
    if (driver_ != nullptr) driver_->lpVtbl->Release(driver_);
    driverEx_ = nullptr;
    driver_ = nullptr;
    // The module is unloaded after the last reference is gone (module_ is destroyed later).
}

std::string DriverSession::ErrorText() const {
    const char* text = driver_->lpVtbl->GetErrorText(driver_);
    return text != nullptr ? GbkToUtf8(text) : std::string();
}

std::int32_t DriverSession::ErrorCode() const {
    return contract::DriverErrorOfMessage(driver_->lpVtbl->GetErrorText(driver_));
}

std::span<const RegisterDescriptor> DriverSession::RegisterTable(const std::string& model) const {
    const RegisterDescriptor* table = nullptr;
    std::int32_t count = 0;
    if (driver_->lpVtbl->GetRegisterTable(driver_, model.c_str(), &table, &count) != 1 ||
        table == nullptr || count <= 0) {
        return {};
    }
    return {table, static_cast<std::size_t>(count)};
}

std::optional<RegisterRef> DriverSession::Resolve(const std::string& model, const std::string& text,
                                                  std::uint16_t typeMask,
                                                  std::string& error) const {
    TagSpec tag{};
    std::strncpy(tag.modelName, model.c_str(), sizeof tag.modelName - 1);
    std::strncpy(tag.registerText, text.c_str(), sizeof tag.registerText - 1);
    tag.typeMask = typeMask;
    TagBinding binding{};
    const std::uint16_t result = driver_->lpVtbl->ParseRegister(driver_, &tag, &binding);
    if (result != 0) {
        error = ErrorText();
        return std::nullopt;
    }
    const RegisterDescriptor* d = binding.descriptor;
    return RegisterRef{std::string(d->mnemonic, strnlen(d->mnemonic, sizeof d->mnemonic)),
                       binding.registerIndex, d->dataType, d->readOnly != 0};
}

std::optional<int> DriverSession::CheckStation(const std::string& text, std::string& error) const {
    std::int32_t station = -1;
    if (driver_->lpVtbl->CheckStation(driver_, text.c_str(), &station) != 1) {
        error = ErrorText();
        return std::nullopt;
    }
    return station;
}

bool DriverSession::Open(const PortSettings& settings, std::string& error) {
    if (driver_->lpVtbl->OpenPort(driver_, 0, &settings) != 1) {
        error = ErrorText();
        return false;
    }
    portOpen_ = true;
    return true;
}

void DriverSession::Close() {
    if (portOpen_ && driver_ != nullptr) driver_->lpVtbl->ClosePort(driver_);
    portOpen_ = false;
}

Reading DriverSession::Exchange(const std::string& model, std::int16_t station,
                                const RegisterRef& reg, std::int16_t direction, double value) {
    IoItem item{};
    item.type = reg.type;
    if (reg.type == kTypeFloat) {
        item.value.asFloat = static_cast<float>(value);
    } else if (reg.type == kTypeInt) {
        item.value.asInt = static_cast<std::int16_t>(value);
    } else {
        item.value.asBit = value != 0 ? 1 : 0;
    }
    IoItemNode node{nullptr, nullptr, &item};
    IoRequest request{};
    request.station = station;
    request.modelName = model.c_str();
    request.registerText = reg.mnemonic.c_str();
    request.registerIndex = reg.index;
    request.direction = direction;
    request.items.head = &node;
    request.items.tail = &node;
    request.items.count = 1;

    // The driver keeps its last error until a new failure replaces it, and a refused write (NAK)
    // records none. Priming the error with a known refusal first tells a new reason from none.
    std::int32_t unused = 0;
    driver_->lpVtbl->CheckStation(driver_, "", &unused);
    const char* primed = driver_->lpVtbl->GetErrorText(driver_);

    Reading reading;
    reading.type = reg.type;
    const auto start = std::chrono::steady_clock::now();
    const std::int32_t result = driverEx_->lpVtbl->ExecuteRequestEx(driverEx_, &request);
    reading.latencyMs =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    reading.ok = result == 1;
    if (!reading.ok) {
        // Empty when the driver recorded no new reason (a write the meter refused).
        if (driver_->lpVtbl->GetErrorText(driver_) != primed) {
            reading.error = ErrorText();
            reading.errorCode = ErrorCode();
        }
        return reading;
    }
    if (direction == kDirectionWrite) {
        reading.value = value;
        return reading;
    }
    reading.value = reg.type == kTypeFloat ? contract::MeterDecimal(item.value.asFloat)
                    : reg.type == kTypeInt ? item.value.asInt
                                           : item.value.asBit;
    reading.quality = item.quality;
    reading.fileTime = (static_cast<std::uint64_t>(item.timestampHigh) << 32) | item.timestampLow;
    return reading;
}

Reading DriverSession::Read(const std::string& model, std::int16_t station,
                            const RegisterRef& reg) {
    return Exchange(model, station, reg, kDirectionRead, 0);
}

Reading DriverSession::Write(const std::string& model, std::int16_t station, const RegisterRef& reg,
                             double value) {
    // A value the field cannot carry would reach the meter changed (40000 as INT is -25536).
    const contract::WriteFit fit = contract::FitWrite(reg.type, value);
    if (!fit.sent) {
        Reading refused;
        refused.type = reg.type;
        refused.error = "write " + reg.mnemonic + ": " + std::string(fit.refusal);
        refused.errorCode = contract::kErrorValueRange;
        return refused;
    }
    return Exchange(model, station, reg, kDirectionWrite, *fit.sent);
}

bool DriverSession::Probe(const std::string& model, std::int16_t station) {
    return driver_->lpVtbl->ProbeDevice(driver_, model.c_str(), station, 0) == 1;
}

ModuleEntry DriverSession::RegisterServer() const {
    return module_ != nullptr ? module_->RegisterServer() : nullptr;
}

}  // namespace host
