#include "bench/host_driver.h"

#include <cstring>

#include "driver/identifiers.h"
#include "host/system_text.h"

namespace bench {

std::unique_ptr<HostDriver> HostDriver::Create(const std::string& modulePath, std::string& error) {
    std::unique_ptr<HostDriver> made(new HostDriver());
    made->module_ = host::LoadDriverModule(modulePath, error);
    if (made->module_ == nullptr) return nullptr;
    void* factoryPointer = nullptr;
    if (made->module_->GetClassObject()(kClsidVer4720Ezo, IID_IClassFactory, &factoryPointer) !=
            S_OK ||
        factoryPointer == nullptr) {
        error = "the module hands out no class factory";
        return nullptr;
    }
    auto* factory = static_cast<ClassFactory*>(factoryPointer);
    void* object = nullptr;
    const HRESULT hr = factory->lpVtbl->CreateInstance(factory, nullptr, kIidDeviceDriver, &object);
    factory->lpVtbl->Release(factory);
    if (hr != S_OK || object == nullptr) {
        error = "the class factory made no driver object";
        return nullptr;
    }
    made->driver_ = static_cast<IDeviceDriver*>(object);
    void* ex = nullptr;
    if (made->driver_->lpVtbl->QueryInterface(made->driver_, kIidDeviceDriverEx, &ex) != S_OK ||
        ex == nullptr) {
        error = "the driver object has no IDeviceDriverEx";
        return nullptr;
    }
    made->driverEx_ = static_cast<IDeviceDriverEx*>(ex);
    return made;
}

HostDriver::~HostDriver() {
    if (open_) driver_->lpVtbl->ClosePort(driver_);
    if (driverEx_ != nullptr) driverEx_->lpVtbl->Release(driverEx_);
    if (driver_ != nullptr) driver_->lpVtbl->Release(driver_);
}

bool HostDriver::Open(const std::string& port, int baud, int replyTimeoutMs, std::string& error) {
    PortSettings settings{};
    if (port.size() >= sizeof settings.portName) {
        error = "port name too long: " + port;
        return false;
    }
    std::memcpy(settings.portName, port.c_str(), port.size() + 1);
    settings.baudRate = baud;
    settings.dataBits = 8;
    settings.stopBits = 1;
    settings.parity = 0;
    settings.replyTimeout = static_cast<std::int16_t>(replyTimeoutMs);
    if (driver_->lpVtbl->OpenPort(driver_, 0, &settings) != 1) {
        error = "OpenPort failed: " + ErrorText();
        return false;
    }
    open_ = true;
    return true;
}

std::string HostDriver::ErrorText() const {
    const char* text = driver_->lpVtbl->GetErrorText(driver_);
    return text != nullptr ? host::GbkToUtf8(text) : std::string();
}

HostRequest::HostRequest(std::int16_t direction, std::int16_t station, const char* model,
                         const char* registerText, std::int16_t registerIndex, std::uint16_t type,
                         int count) {
    request_.direction = direction;
    request_.station = station;
    request_.modelName = model;
    request_.registerText = registerText;
    request_.registerIndex = registerIndex;
    IoItemNode* previous = nullptr;
    for (int i = 0; i < count; ++i) {
        IoItem& item = items_.emplace_back();
        item.type = type;
        IoItemNode& node = nodes_.emplace_back(IoItemNode{nullptr, previous, &item});
        if (previous != nullptr) previous->next = &node;
        previous = &node;
    }
    request_.items.head = nodes_.empty() ? nullptr : &nodes_.front();
    request_.items.tail = previous;
    request_.items.count = count;
}

}  // namespace bench
