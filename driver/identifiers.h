// The identifiers that hosts and this module agree on. Declared once, here, for the module, the
// tools and the tests.
#pragma once

#include "platform/platform.h"

// The class of the driver object; the programmatic identifier resolves to it.
inline constexpr CLSID kClsidVer4720Ezo = {
    0x352E65A1, 0x594C, 0x4A27, {0x8B, 0x35, 0x12, 0x93, 0xDA, 0xBC, 0x88, 0x43}};

// The host's two custom interfaces.
inline constexpr IID kIidDeviceDriver = {
    0x9C57C8FB, 0x38E0, 0x4CA7, {0x9B, 0x00, 0xB7, 0xCD, 0xE5, 0x81, 0x8B, 0xBF}};
inline constexpr IID kIidDeviceDriverEx = {
    0xF7DECE2A, 0x3CBC, 0x4BC3, {0x98, 0x39, 0x99, 0xFC, 0x1E, 0xB3, 0x2F, 0x91}};

// The driver's own dispatch interface (it has no members).
inline constexpr IID kIidVer4720EzoDispatch = {
    0xF904D288, 0x276D, 0x4C36, {0xB9, 0xD0, 0x44, 0xF6, 0x0F, 0x62, 0xD3, 0x79}};

inline constexpr const char* kProgId = "QM4720.QM4720Pro";

// Identifiers compare as their 16 bytes.
bool SameGuid(const GUID& a, const GUID& b);
