// Activation by programmatic identifier on Linux: the registry file leads from the identifier to
// the class and its module; the module's class factory then creates the object.
#include <cstdio>

#include <qm4720/qm4720.h>

#include "host/client/activation.h"

namespace host {
namespace {

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" as the registry writes a class identifier.
bool ParseClassId(const std::string& text, CLSID& clsid) {
    unsigned d1 = 0, d2 = 0, d3 = 0, b[8] = {};
    int consumed = 0;
    if (std::sscanf(text.c_str(), "{%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x}%n", &d1, &d2, &d3, &b[0],
                    &b[1], &b[2], &b[3], &b[4], &b[5], &b[6], &b[7], &consumed) != 11 ||
        static_cast<std::size_t>(consumed) != text.size()) {
        return false;
    }
    clsid.Data1 = d1;
    clsid.Data2 = static_cast<std::uint16_t>(d2);
    clsid.Data3 = static_cast<std::uint16_t>(d3);
    for (int i = 0; i < 8; ++i) clsid.Data4[i] = static_cast<std::uint8_t>(b[i]);
    return true;
}

}  // namespace

// Linux has no apartments: nothing to begin or end.
ComSession::ComSession() = default;
ComSession::~ComSession() = default;

void* CreateByProgId(const std::string& progId, REFIID iid,
                     std::unique_ptr<LoadedModule>& keepLoaded, std::string& error) {
    std::string modulePath;
    std::string classIdText;
    CLSID clsid{};
    if (!ResolveProgId(progId, modulePath, &classIdText) || !ParseClassId(classIdText, clsid)) {
        error = progId + " is not registered (run 'qm4720ctl register' first)";
        return nullptr;
    }
    keepLoaded = LoadDriverModule(modulePath, error);
    if (keepLoaded == nullptr) return nullptr;
    void* factoryPointer = nullptr;
    if (keepLoaded->GetClassObject()(clsid, QM4720_IID_CLASS_FACTORY, &factoryPointer) !=
        kStatusOk) {
        error = modulePath + " has no class factory for " + classIdText;
        return nullptr;
    }
    auto* factory = static_cast<QM4720ClassFactory*>(factoryPointer);
    void* object = nullptr;
    const HRESULT hr = factory->lpVtbl->CreateInstance(factory, nullptr, iid, &object);
    factory->lpVtbl->Release(factory);
    if (hr != kStatusOk) {
        error = "the class factory of " + modulePath + " could not create the object";
        return nullptr;
    }
    return object;
}

}  // namespace host
