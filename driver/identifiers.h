// The identifiers that hosts and this module agree on, for the module, the tools and the tests.
// Their values come from the public header.
#pragma once

#include <qm4720/qm4720.h>

#include "platform/platform.h"

// The class of the driver object; the programmatic identifier resolves to it.
inline constexpr CLSID kClsidVer4720Ezo = QM4720_CLSID_DRIVER_INIT;

// The host's two custom interfaces.
inline constexpr IID kIidDeviceDriver = QM4720_IID_DEVICE_DRIVER_INIT;
inline constexpr IID kIidDeviceDriverEx = QM4720_IID_DEVICE_DRIVER_EX_INIT;

// The driver's own dispatch interface (it has no members).
inline constexpr IID kIidVer4720EzoDispatch = {
    0xF904D288, 0x276D, 0x4C36, {0xB9, 0xD0, 0x44, 0xF6, 0x0F, 0x62, 0xD3, 0x79}};

inline constexpr const char* kProgId = QM4720_PROGID;

// Identifiers compare as their 16 bytes.
bool SameGuid(const GUID& a, const GUID& b);
