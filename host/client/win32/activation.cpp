// Activation on Windows: the component platform's own, from the programmatic identifier through
// the registry to the class factory of the registered module.
#include <cstdio>

#include "host/client/activation.h"
#include "host/client/win32/wide_text.h"

namespace host {

// The driver's interfaces have no proxy: the session is a single-threaded apartment, so the
// platform creates the object on this thread.
ComSession::ComSession() {
    CoInitialize(nullptr);
}
ComSession::~ComSession() {
    CoUninitialize();
}

void* CreateByProgId(const std::string& progId, REFIID iid, std::unique_ptr<LoadedModule>&,
                     std::string& error) {
    CLSID clsid{};
    HRESULT hr = CLSIDFromProgID(Widen(progId, CP_ACP).c_str(), &clsid);
    if (FAILED(hr)) {
        char code[16];
        std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(hr));
        error = progId + " is not registered (CLSIDFromProgID " + code + ")";
        return nullptr;
    }
    void* object = nullptr;
    hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, iid, &object);
    if (FAILED(hr)) {
        char code[16];
        std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(hr));
        error = "CoCreateInstance for " + progId + " failed with " + code;
        return nullptr;
    }
    return object;
}

}  // namespace host
