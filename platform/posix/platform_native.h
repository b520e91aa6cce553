// Linux side of the platform layer: the component platform's base types, status codes and
// calling convention, declared with the values and names that the Windows headers give them, so
// that the shared code reads the same on both builds. The serial port calls are not here: the
// serial code includes them through platform/serial_calls.h (serial_api.h). The types that the
// module's interfaces use (GUID, IID, REFIID, HRESULT, ULONG, BOOL, HANDLE) are declared once, in
// the public header, for hosts and the module alike.
#pragma once

#include <cstdint>

#include <qm4720/qm4720.h>

#define STDMETHODCALLTYPE
#define QM_EXPORT extern "C" __attribute__((visibility("default")))

using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using LONG = std::int32_t;
using UINT = std::uint32_t;
using LCID = std::uint32_t;
using DISPID = std::int32_t;
using OLECHAR = char16_t;
using LPOLESTR = OLECHAR*;

// The port handle is the file descriptor: 4 bytes, as the host's handle slot holds it.
static_assert(sizeof(HANDLE) == 4);
inline constexpr HANDLE INVALID_HANDLE_VALUE = -1;

struct FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
};

// Dispatch records: the driver reads only the argument counts of DISPPARAMS; the rest is opaque.
struct VARIANT;
struct EXCEPINFO;
struct ITypeInfo;
struct DISPPARAMS {
    VARIANT* rgvarg;
    DISPID* rgdispidNamedArgs;
    UINT cArgs;
    UINT cNamedArgs;
};
inline constexpr DISPID DISPID_PROPERTYPUT = -3;

inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT E_NOTIMPL = static_cast<HRESULT>(0x80004001);
inline constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002);
inline constexpr HRESULT E_POINTER = static_cast<HRESULT>(0x80004003);
inline constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005);
inline constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000E);
inline constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057);
inline constexpr HRESULT CLASS_E_NOAGGREGATION = static_cast<HRESULT>(0x80040110);
inline constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = static_cast<HRESULT>(0x80040111);
inline constexpr HRESULT SELFREG_E_CLASS = static_cast<HRESULT>(0x80040201);
inline constexpr HRESULT DISP_E_UNKNOWNINTERFACE = static_cast<HRESULT>(0x80020001);
inline constexpr HRESULT DISP_E_MEMBERNOTFOUND = static_cast<HRESULT>(0x80020003);
inline constexpr HRESULT DISP_E_UNKNOWNNAME = static_cast<HRESULT>(0x80020006);
inline constexpr HRESULT DISP_E_NONAMEDARGS = static_cast<HRESULT>(0x80020007);

// The platform's standard interface identifiers, with their standard values.
extern const IID IID_IUnknown;
extern const IID IID_IDispatch;
extern const IID IID_IClassFactory;
extern const IID IID_NULL;
