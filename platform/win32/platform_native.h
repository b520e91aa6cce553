// Windows side of the platform layer: the real component platform and serial headers.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <objbase.h>
#include <oaidl.h>
#include <olectl.h>

// Exports leave the module through the .def file, which strips the __stdcall decoration.
#define QM_EXPORT extern "C"
