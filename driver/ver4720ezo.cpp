#include "driver/ver4720ezo.h"

#include <new>

#include "driver/identifiers.h"
#include "driver/module_lock.h"

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

HRESULT STDMETHODCALLTYPE DeviceDriver_QueryInterface(IDeviceDriver* self, REFIID iid, void** out) {
    return VER4720Ezo::FromPart(self)->ExternalQueryInterface(&iid, out);
}

ULONG STDMETHODCALLTYPE DeviceDriver_AddRef(IDeviceDriver* self) {
    return VER4720Ezo::FromPart(self)->ExternalAddRef();
}

ULONG STDMETHODCALLTYPE DeviceDriver_Release(IDeviceDriver* self) {
    return VER4720Ezo::FromPart(self)->ExternalRelease();
}

std::int32_t STDMETHODCALLTYPE DeviceDriver_GetRegisterTable(IDeviceDriver* self,
                                                             const char* modelName,
                                                             const RegisterDescriptor** table,
                                                             std::int32_t* count) {
    return VER4720Ezo::FromPart(self)->GetRegisterTable(modelName, table, count);
}

std::int32_t STDMETHODCALLTYPE DeviceDriver_ProbeDevice(IDeviceDriver* self, const char* modelName,
                                                        std::int32_t station, std::int32_t cookie) {
    return VER4720Ezo::FromPart(self)->ProbeDevice(modelName, station, cookie);
}

std::uint16_t STDMETHODCALLTYPE DeviceDriver_ParseRegister(IDeviceDriver* self, const TagSpec* tag,
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

std::int32_t STDMETHODCALLTYPE DeviceDriver_OpenPort(IDeviceDriver* self, std::int32_t,
                                                     const PortSettings* settings) {
    return VER4720Ezo::FromPart(self)->OpenPort(settings);
}

std::int32_t STDMETHODCALLTYPE DeviceDriver_ClosePort(IDeviceDriver* self) {
    return VER4720Ezo::FromPart(self)->ClosePort();
}

std::int32_t STDMETHODCALLTYPE DeviceDriver_ExecuteRequest(IDeviceDriver* self,
                                                           IoRequest* request) {
    return VER4720Ezo::FromPart(self)->ExecuteRequest(request);
}

std::int32_t STDMETHODCALLTYPE DeviceDriver_CheckStation(IDeviceDriver* self,
                                                         const char* stationText,
                                                         std::int32_t* station) {
    return VER4720Ezo::FromPart(self)->CheckStation(stationText, station);
}

const char* STDMETHODCALLTYPE DeviceDriver_GetErrorText(IDeviceDriver* self) {
    return VER4720Ezo::FromPart(self)->GetErrorText();
}

constexpr IDeviceDriverVtbl kDeviceDriverVtbl = {
    DeviceDriver_QueryInterface,
    DeviceDriver_AddRef,
    DeviceDriver_Release,
    DeviceDriver_GetRegisterTable,
    DeviceDriver_ProbeDevice,
    DeviceDriver_ParseRegister,
    ReservedOne,
    DeviceDriver_OpenPort,
    DeviceDriver_ClosePort,
    ReservedOne,
    ReservedZero,
    DeviceDriver_ExecuteRequest,
    DeviceDriver_CheckStation,
    DeviceDriver_GetErrorText,
};

// ---- IDeviceDriverEx slots -----------------------------------------------------------------

HRESULT STDMETHODCALLTYPE DeviceDriverEx_QueryInterface(IDeviceDriverEx* self, REFIID iid,
                                                        void** out) {
    return VER4720Ezo::FromPart(self)->ExternalQueryInterface(&iid, out);
}

ULONG STDMETHODCALLTYPE DeviceDriverEx_AddRef(IDeviceDriverEx* self) {
    return VER4720Ezo::FromPart(self)->ExternalAddRef();
}

ULONG STDMETHODCALLTYPE DeviceDriverEx_Release(IDeviceDriverEx* self) {
    return VER4720Ezo::FromPart(self)->ExternalRelease();
}

std::int32_t STDMETHODCALLTYPE DeviceDriverEx_ExecuteRequestEx(IDeviceDriverEx* self,
                                                               IoRequest* request) {
    return VER4720Ezo::FromPart(self)->ExecuteRequestEx(request);
}

std::int32_t STDMETHODCALLTYPE DeviceDriverEx_SetPortHandle(IDeviceDriverEx* self,
                                                            const HANDLE* handle) {
    return VER4720Ezo::FromPart(self)->SetPortHandle(handle);
}

std::int32_t STDMETHODCALLTYPE DeviceDriverEx_GetPortHandle(IDeviceDriverEx* self, HANDLE* handle) {
    return VER4720Ezo::FromPart(self)->GetPortHandle(handle);
}

constexpr IDeviceDriverExVtbl kDeviceDriverExVtbl = {
    DeviceDriverEx_QueryInterface,   DeviceDriverEx_AddRef,        DeviceDriverEx_Release,
    DeviceDriverEx_ExecuteRequestEx, DeviceDriverEx_SetPortHandle, ReservedOne,
    DeviceDriverEx_GetPortHandle,
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

const char* VER4720Ezo::GetErrorText() const {
    // A platform code comes from a failed write to the port, almost always a port that is not
    // (or no longer) open: report it with the open-error text.
    if (m_bPlatformError) return ErrorText(contract::kErrorOpen);
    return ErrorText(m_nError);
}

void VER4720Ezo::RecordError(std::int32_t driverError) {
    m_nError = driverError;
    m_bPlatformError = false;
}

void VER4720Ezo::RecordPlatformError(DWORD code) {
    m_nError = static_cast<std::int32_t>(code);
    m_bPlatformError = true;
}

}  // namespace driver
