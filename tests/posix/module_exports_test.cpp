// The built module loaded as a Linux host loads it: dlopen of the shared object and dlsym of the
// three entry points, then only exports and slots.
#include <dlfcn.h>

#include "tests/host_cases/module_cases.h"

namespace module_cases {

const ModuleExports& Exports() {
    static const ModuleExports exports = [] {
        ModuleExports loaded;
        void* module = dlopen(QM_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
        if (module == nullptr) {
            ADD_FAILURE() << "dlopen " << QM_MODULE_PATH << ": " << dlerror();
            return loaded;
        }
        loaded.getClassObject =
            reinterpret_cast<decltype(loaded.getClassObject)>(dlsym(module, "DllGetClassObject"));
        loaded.canUnloadNow =
            reinterpret_cast<decltype(loaded.canUnloadNow)>(dlsym(module, "DllCanUnloadNow"));
        loaded.registerServer =
            reinterpret_cast<decltype(loaded.registerServer)>(dlsym(module, "DllRegisterServer"));
        return loaded;
    }();
    return exports;
}

}  // namespace module_cases
