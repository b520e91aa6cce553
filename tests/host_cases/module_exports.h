// The three exported entry points of the built module, as a host holds them after loading it.
// Each operating system's test program defines Exports(), loading the module the way that
// system's hosts do.
#pragma once

#include "platform/platform.h"

namespace module_cases {

struct ModuleExports {
    HRESULT(STDMETHODCALLTYPE* getClassObject)(REFCLSID clsid, REFIID iid, void** out) = nullptr;
    HRESULT(STDMETHODCALLTYPE* canUnloadNow)() = nullptr;
    HRESULT(STDMETHODCALLTYPE* registerServer)() = nullptr;
};

// Defined by each test program. Null members when the module could not be loaded.
const ModuleExports& Exports();

}  // namespace module_cases
