// The two custom interfaces through which a host calls the driver object: IDeviceDriver (14
// slots) and IDeviceDriverEx (7 slots). Each interface pointer points at a part whose first (and
// only public) member is the pointer to its slot table; every slot takes the interface pointer
// first and, on 32-bit Windows, uses __stdcall (the callee removes the arguments). Slot order and
// argument counts are the layout contract with the host.
//
// Results: 1 for success and 0 for failure, unless stated. After a 0 the host may call
// GetErrorText for the reason. m_nError is only overwritten by a new failure: no call clears it.
//
// Threads: the driver creates no thread and takes no lock. Calls on one object must not overlap,
// and objects that share a port handle must be called one at a time. The class is registered
// with no threading model, so on Windows the platform creates every object in the host's main
// single-threaded apartment (the first thread that called CoInitialize) and every call runs on
// that thread: a host activates the class there (CoCreateInstance by "QM4720.QM4720Pro", with
// CLSCTX_INPROC_SERVER). Activation from a multithreaded apartment fails with E_NOINTERFACE,
// since these custom interfaces have no proxy. On Linux there are no apartments: a host finds the
// module with host::ResolveProgId (host/activation.h), loads it and calls
// DllGetClassObject itself, and keeps to the same one-thread rule. All records passed in stay the
// host's; the driver keeps no pointer to them after a call.
#pragma once

#include <cstdint>

#include "platform/platform.h"
#include "records/io_request.h"
#include "records/port_settings.h"
#include "records/register_descriptor.h"
#include "records/tag.h"

struct IDeviceDriver;
struct IDeviceDriverEx;

// A reserved slot: takes three 32-bit arguments, reads none of them and changes nothing.
using ReservedSlot = std::int32_t(STDMETHODCALLTYPE*)(void* self, std::int32_t, std::int32_t,
                                                      std::int32_t);

struct IDeviceDriverVtbl {
    // 0..2: the platform's IUnknown. QueryInterface stores null and returns E_NOINTERFACE for an
    // interface the object lacks; E_POINTER for a null out-pointer.
    HRESULT(STDMETHODCALLTYPE* QueryInterface)(IDeviceDriver* self, REFIID iid, void** out);
    ULONG(STDMETHODCALLTYPE* AddRef)(IDeviceDriver* self);
    ULONG(STDMETHODCALLTYPE* Release)(IDeviceDriver* self);

    // 3: the register table of `modelName` ("QM4720N", ASCII case ignored, else the default
    // model): stores the address of its first entry and its entry count. The table is the
    // module's own constant data; the host may keep the pointer for the life of the module.
    // Returns 1 (0 only for a null out-pointer).
    std::int32_t(STDMETHODCALLTYPE* GetRegisterTable)(IDeviceDriver* self, const char* modelName,
                                                      const RegisterDescriptor** table,
                                                      std::int32_t* count);

    // 4: reads register EE of `station` (low 16 bits used); 1 when the station answered as
    // required. `cookie` is passed through into the probe's request.
    std::int32_t(STDMETHODCALLTYPE* ProbeDevice)(IDeviceDriver* self, const char* modelName,
                                                 std::int32_t station, std::int32_t cookie);

    // 5: validates a tag's register text against the model's table and fills `binding`.
    // Returns 0 accepted, 1 register text refused, 0x8001 data type not accepted.
    std::uint16_t(STDMETHODCALLTYPE* ParseRegister)(IDeviceDriver* self, const TagSpec* tag,
                                                    TagBinding* binding);

    // 6: reserved, returns 1.
    ReservedSlot Reserved6;

    // 7: opens and configures the serial port from `settings`; `unused` is not read.
    std::int32_t(STDMETHODCALLTYPE* OpenPort)(IDeviceDriver* self, std::int32_t unused,
                                              const PortSettings* settings);

    // 8: closes this object's port (also one adopted through SetPortHandle); 1 when closed or
    // nothing to close.
    std::int32_t(STDMETHODCALLTYPE* ClosePort)(IDeviceDriver* self);

    // 9: reserved, returns 1. 10: reserved, returns 0.
    ReservedSlot Reserved9;
    ReservedSlot Reserved10;

    // 11: one exchange (read or write of one register); default-model reads go to readValue.
    std::int32_t(STDMETHODCALLTYPE* ExecuteRequest)(IDeviceDriver* self, IoRequest* request);

    // 12: accepts one or two decimal digits and stores their number.
    std::int32_t(STDMETHODCALLTYPE* CheckStation)(IDeviceDriver* self, const char* stationText,
                                                  std::int32_t* station);

    // 13: the GBK text of the last failure, or null when none was recorded. The text belongs to
    // the module and stays valid for its life.
    const char*(STDMETHODCALLTYPE* GetErrorText)(IDeviceDriver* self);
};

struct IDeviceDriverExVtbl {
    HRESULT(STDMETHODCALLTYPE* QueryInterface)(IDeviceDriverEx* self, REFIID iid, void** out);
    ULONG(STDMETHODCALLTYPE* AddRef)(IDeviceDriverEx* self);
    ULONG(STDMETHODCALLTYPE* Release)(IDeviceDriverEx* self);

    // 3: one exchange; reads go to value, and every item of an accepted read is stamped with the
    // current file time and quality 192.
    std::int32_t(STDMETHODCALLTYPE* ExecuteRequestEx)(IDeviceDriverEx* self, IoRequest* request);

    // 4: adopts the 4-byte port handle at `handle` (not checked; the previous one is not
    // closed). Returns 1.
    std::int32_t(STDMETHODCALLTYPE* SetPortHandle)(IDeviceDriverEx* self, const HANDLE* handle);

    // 5: reserved, returns 1.
    ReservedSlot Reserved5;

    // 6: stores this object's port handle (the invalid handle, all bits set, when none). Returns 1.
    std::int32_t(STDMETHODCALLTYPE* GetPortHandle)(IDeviceDriverEx* self, HANDLE* handle);
};

struct IDeviceDriver {
    const IDeviceDriverVtbl* lpVtbl;
};

struct IDeviceDriverEx {
    const IDeviceDriverExVtbl* lpVtbl;
};

// The IClassFactory slot table as the module's factory presents it.
struct ClassFactory;
struct ClassFactoryVtbl {
    HRESULT(STDMETHODCALLTYPE* QueryInterface)(ClassFactory* self, REFIID iid, void** out);
    ULONG(STDMETHODCALLTYPE* AddRef)(ClassFactory* self);
    ULONG(STDMETHODCALLTYPE* Release)(ClassFactory* self);
    HRESULT(STDMETHODCALLTYPE* CreateInstance)
    (ClassFactory* self, void* outer, REFIID iid, void** out);
    HRESULT(STDMETHODCALLTYPE* LockServer)(ClassFactory* self, BOOL lock);
};
struct ClassFactory {
    const ClassFactoryVtbl* lpVtbl;
};
