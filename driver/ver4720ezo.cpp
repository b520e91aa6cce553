#include "driver/ver4720ezo.h"

#include <new>

#include "catalogue/register_tables.h"
#include "driver/identifiers.h"
#include "driver/module_lock.h"
#include "platform/platform.h"

namespace driver {

InterfacePart* DeviceDriverPartOf(CCmdTarget* target) {
    return &static_cast<VER4720Ezo*>(target)->m_xDeviceDriver;
}

InterfacePart* DeviceDriverExPartOf(CCmdTarget* target) {
    return &static_cast<VER4720Ezo*>(target)->m_xDeviceDriverEx;
}

namespace {

// Searched in this order, then the base's table (IDispatch). The first entry is the object's
// identity: every query for IUnknown yields the dispatch part.
constexpr InterfaceEntry kInterfaces[] = {
    {&kIidVer4720EzoDispatch, &DispatchPartOf},
    {&kIidDeviceDriver, &DeviceDriverPartOf},
    {&kIidDeviceDriverEx, &DeviceDriverExPartOf},
};

// ---- IDeviceDriver slots -------------------------------------------------------------------

HRESULT STDMETHODCALLTYPE QueryInterface(IDeviceDriver* self, REFIID iid, void** out) {
    return VER4720Ezo::FromPart(self)->ExternalQueryInterface(&iid, out);
}

ULONG STDMETHODCALLTYPE AddRef(IDeviceDriver* self) {
    return VER4720Ezo::FromPart(self)->ExternalAddRef();
}

ULONG STDMETHODCALLTYPE Release(IDeviceDriver* self) {
    return VER4720Ezo::FromPart(self)->ExternalRelease();
}

std::int32_t STDMETHODCALLTYPE GetRegisterTable(IDeviceDriver* self, const char* modelName,
                                                const RegisterDescriptor** table,
                                                std::int32_t* count) {
    return VER4720Ezo::FromPart(self)->GetRegisterTable(modelName, table, count);
}

std::int32_t STDMETHODCALLTYPE ProbeDevice(IDeviceDriver* self, const char* modelName,
                                           std::int32_t station, std::int32_t cookie) {
    return VER4720Ezo::FromPart(self)->ProbeDevice(modelName, station, cookie);
}

std::uint16_t STDMETHODCALLTYPE ParseRegister(IDeviceDriver* self, const TagSpec* tag,
                                              TagBinding* binding) {
    return VER4720Ezo::FromPart(self)->ParseRegister(tag, binding);
}

// The reserved slots touch nothing. One function serves the three that answer 1.
std::int32_t STDMETHODCALLTYPE ReservedOne(void*, std::int32_t, std::int32_t, std::int32_t) {
    return 1;
}

std::int32_t STDMETHODCALLTYPE ReservedZero(void*, std::int32_t, std::int32_t, std::int32_t) {
    return 0;
}

std::int32_t STDMETHODCALLTYPE OpenPort(IDeviceDriver* self, std::int32_t,
                                        const PortSettings* settings) {
    return VER4720Ezo::FromPart(self)->OpenPort(settings);
}

std::int32_t STDMETHODCALLTYPE ClosePort(IDeviceDriver* self) {
    return VER4720Ezo::FromPart(self)->ClosePort();
}

std::int32_t STDMETHODCALLTYPE ExecuteRequest(IDeviceDriver* self, IoRequest* request) {
    return VER4720Ezo::FromPart(self)->ExecuteRequest(request);
}

std::int32_t STDMETHODCALLTYPE CheckStation(IDeviceDriver* self, const char* stationText,
                                            std::int32_t* station) {
    return VER4720Ezo::FromPart(self)->CheckStation(stationText, station);
}

const char* STDMETHODCALLTYPE GetErrorText(IDeviceDriver* self) {
    return VER4720Ezo::FromPart(self)->GetErrorText();
}

constexpr IDeviceDriverVtbl kDeviceDriverVtbl = {
    QueryInterface, AddRef,         Release,      GetRegisterTable, ProbeDevice,
    ParseRegister,  ReservedOne,    OpenPort,     ClosePort,        ReservedOne,
    ReservedZero,   ExecuteRequest, CheckStation, GetErrorText,
};

// ---- IDeviceDriverEx slots -----------------------------------------------------------------

HRESULT STDMETHODCALLTYPE QueryInterfaceEx(IDeviceDriverEx* self, REFIID iid, void** out) {
    return VER4720Ezo::FromPart(self)->ExternalQueryInterface(&iid, out);
}

ULONG STDMETHODCALLTYPE AddRefEx(IDeviceDriverEx* self) {
    return VER4720Ezo::FromPart(self)->ExternalAddRef();
}

ULONG STDMETHODCALLTYPE ReleaseEx(IDeviceDriverEx* self) {
    return VER4720Ezo::FromPart(self)->ExternalRelease();
}

std::int32_t STDMETHODCALLTYPE ExecuteRequestEx(IDeviceDriverEx* self, IoRequest* request) {
    return VER4720Ezo::FromPart(self)->ExecuteRequestEx(request);
}

std::int32_t STDMETHODCALLTYPE SetPortHandle(IDeviceDriverEx* self, const HANDLE* handle) {
    return VER4720Ezo::FromPart(self)->SetPortHandle(handle);
}

std::int32_t STDMETHODCALLTYPE GetPortHandle(IDeviceDriverEx* self, HANDLE* handle) {
    return VER4720Ezo::FromPart(self)->GetPortHandle(handle);
}

constexpr IDeviceDriverExVtbl kDeviceDriverExVtbl = {
    QueryInterfaceEx, AddRefEx,    ReleaseEx,     ExecuteRequestEx,
    SetPortHandle,    ReservedOne, GetPortHandle,
};

CCmdTarget* NewVer4720Ezo() {
    return VER4720Ezo::CreateObject();
}

}  // namespace

const RuntimeClass VER4720Ezo::kRuntimeClass = {"VER4720Ezo", &NewVer4720Ezo};

CCmdTarget* VER4720Ezo::CreateObject() {
    return new (std::nothrow) VER4720Ezo();
}

VER4720Ezo::VER4720Ezo() {
    BindPart(m_xDeviceDriver, &kDeviceDriverVtbl);
    BindPart(m_xDeviceDriverEx, &kDeviceDriverExVtbl);
    EnableAutomation();
    LockModule();
}

// Releases the module lock. The port is deliberately left open: closing it is the host's call.
VER4720Ezo::~VER4720Ezo() {
    UnlockModule();
}

std::span<const InterfaceEntry> VER4720Ezo::GetInterfaceTable() const {
    return kInterfaces;
}

std::int32_t VER4720Ezo::GetRegisterTable(const char* modelName, const RegisterDescriptor** table,
                                          std::int32_t* count) {
    if (table == nullptr || count == nullptr) return 0;
    const std::span<const RegisterDescriptor> chosen = catalogue::RegisterTableFor(modelName);
    *table = chosen.data();
    *count = static_cast<std::int32_t>(chosen.size());
    return 1;
}

const char* VER4720Ezo::GetErrorText() const {
    // A platform code comes from a failed write to the port, almost always a port that is not
    // (or no longer) open: report it with the open-error text.
    if (m_bPlatformError) return MessageText(kErrorOpen);
    return MessageText(m_nError);
}

void VER4720Ezo::RecordError(std::int32_t driverError) {
    m_nError = driverError;
    m_bPlatformError = false;
}

void VER4720Ezo::RecordPlatformError(DWORD code) {
    m_nError = static_cast<std::int32_t>(code);
    m_bPlatformError = true;
}

void VER4720Ezo::Pause(std::uint32_t milliseconds) {
    platform::SleepMs(milliseconds);
}

}  // namespace driver
