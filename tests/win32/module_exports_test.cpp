// The built module loaded as a Windows host loads it: LoadLibrary of qm4720.dll and
// GetProcAddress of the three entry points by their undecorated names, then only exports and
// slots.
#include "tests/host_cases/module_cases.h"

namespace module_cases {

const ModuleExports& Exports() {
    static const ModuleExports exports = [] {
        ModuleExports loaded;
        HMODULE module = LoadLibraryA(QM_MODULE_PATH);
        if (module == nullptr) {
            ADD_FAILURE() << "LoadLibrary " << QM_MODULE_PATH << ": error " << GetLastError();
            return loaded;
        }
        loaded.getClassObject = reinterpret_cast<decltype(loaded.getClassObject)>(
            reinterpret_cast<void*>(GetProcAddress(module, "DllGetClassObject")));
        loaded.canUnloadNow = reinterpret_cast<decltype(loaded.canUnloadNow)>(
            reinterpret_cast<void*>(GetProcAddress(module, "DllCanUnloadNow")));
        loaded.registerServer = reinterpret_cast<decltype(loaded.registerServer)>(
            reinterpret_cast<void*>(GetProcAddress(module, "DllRegisterServer")));
        return loaded;
    }();
    return exports;
}

}  // namespace module_cases
