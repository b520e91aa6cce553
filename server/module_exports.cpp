// The module's state and its three exported entry points. The state is built on first use, which
// is the platform's load hook (platform::OnModuleLoad), so that nothing depends on the order in
// which static objects of different files are constructed.
#include <type_traits>

#include <qm4720/qm4720.h>

#include "driver/identifiers.h"
#include "driver/ver4720ezo.h"
#include "platform/module_entry.h"
#include "platform/platform.h"
#include "server/class_factory.h"

namespace server {
namespace {

// The application object: it exists only to run the start-up step.
class CModuleApp {
public:
    bool InitInstance(FactoryList& factories) {
        RegisterAllFactories(factories);
        return true;
    }
};

// Constructed in declaration order (the list and its lock, the application object, the factory)
// and destroyed in reverse when the module goes away: the factory leaves the list first.
struct Module {
    FactoryList factories;
    CModuleApp app;
    COleObjectFactory factory{factories, kClsidVer4720Ezo, &driver::VER4720Ezo::kRuntimeClass,
                              kProgId};
};

Module& TheModule() {
    static Module module;
    return module;
}

}  // namespace
}  // namespace server

bool platform::OnModuleLoad() {
    server::Module& module = server::TheModule();
    return module.app.InitInstance(module.factories);
}

QM_EXPORT HRESULT STDMETHODCALLTYPE DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
    return server::GetClassObject(server::TheModule().factories, clsid, iid, out);
}

QM_EXPORT HRESULT STDMETHODCALLTYPE DllCanUnloadNow() {
    return server::CanUnloadNow(server::TheModule().factories);
}

QM_EXPORT HRESULT STDMETHODCALLTYPE DllRegisterServer() {
    return server::RegisterServer(server::TheModule().factories);
}

// The exports have the types that the public header gives hosts for them.
static_assert(std::is_same_v<decltype(&DllGetClassObject), QM4720GetClassObjectFn>);
static_assert(std::is_same_v<decltype(&DllCanUnloadNow), QM4720CanUnloadNowFn>);
static_assert(std::is_same_v<decltype(&DllRegisterServer), QM4720RegisterServerFn>);
