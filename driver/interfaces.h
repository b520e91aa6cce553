// The two custom interfaces through which a host calls the driver object: IDeviceDriver (14
// slots) and IDeviceDriverEx (7 slots), and the class factory's slot table. The slot tables are
// the public header's (include/qm4720/qm4720.h, documented slot by slot there), so the module
// and its hosts compile against one declaration. Each interface pointer points at a part whose
// first (and only public) member is the pointer to its slot table; every slot takes the interface
// pointer first and, on 32-bit Windows, uses __stdcall (the callee removes the arguments). Slot
// order and argument counts are the layout contract with the host.
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
// module with host::ResolveProgId (host/client/activation.h), loads it and calls
// DllGetClassObject itself, and keeps to the same one-thread rule. All records passed in stay the
// host's; the driver keeps no pointer to them after a call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include <qm4720/qm4720.h>

#include "platform/platform.h"
#include "records/io_request.h"
#include "records/port_settings.h"
#include "records/register_descriptor.h"
#include "records/tag.h"

// A reserved slot: takes three 32-bit arguments, reads none of them and changes nothing.
using ReservedSlot = QM4720ReservedSlot;

// The IClassFactory slot table as the module's factory presents it.
using ClassFactory = QM4720ClassFactory;
using ClassFactoryVtbl = QM4720ClassFactoryVtbl;

// The public calling convention is the one the module's slot functions are defined with.
static_assert(std::is_same_v<ReservedSlot, std::int32_t(STDMETHODCALLTYPE*)(
                                               void*, std::int32_t, std::int32_t, std::int32_t)>);

// A slot table is its function pointers in slot order and nothing else.
static_assert(sizeof(IDeviceDriverVtbl) == 14 * sizeof(void*));
static_assert(sizeof(IDeviceDriverExVtbl) == 7 * sizeof(void*));
static_assert(sizeof(ClassFactoryVtbl) == 5 * sizeof(void*));
static_assert(offsetof(IDeviceDriverVtbl, GetRegisterTable) == 3 * sizeof(void*));
static_assert(offsetof(IDeviceDriverVtbl, OpenPort) == 7 * sizeof(void*));
static_assert(offsetof(IDeviceDriverVtbl, ExecuteRequest) == 11 * sizeof(void*));
static_assert(offsetof(IDeviceDriverVtbl, GetErrorText) == 13 * sizeof(void*));
static_assert(offsetof(IDeviceDriverExVtbl, ExecuteRequestEx) == 3 * sizeof(void*));
static_assert(offsetof(IDeviceDriverExVtbl, GetPortHandle) == 6 * sizeof(void*));
static_assert(offsetof(ClassFactoryVtbl, CreateInstance) == 3 * sizeof(void*));
