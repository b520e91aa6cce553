// COleObjectFactory: the class factory of the module, a second kind of object on the component
// base. It creates VER4720Ezo objects through their run-time class and hands itself out through
// DllGetClassObject once the start-up step has marked it registered. The module's factories form
// a list guarded by one lock; the module has exactly one factory.
#pragma once

#include <mutex>
#include <span>

#include "driver/cmd_target.h"
#include "driver/interfaces.h"
#include "platform/platform.h"

namespace server {

class COleObjectFactory;

// The module's class factories, newest first, and the one lock that guards every walk and
// change of the list.
struct FactoryList {
    std::mutex lock;
    COleObjectFactory* head = nullptr;
};

class COleObjectFactory : public driver::CCmdTarget {
public:
    // Constructs the factory (count 1, not registered) and adds it at the head of `list`.
    COleObjectFactory(FactoryList& list, const CLSID& clsid,
                      const driver::RuntimeClass* runtimeClass, const char* progId);
    // Clears the registered flag and takes the factory out of its list.
    ~COleObjectFactory() override;

    std::span<const driver::InterfaceEntry> GetInterfaceTable() const override;

    // The factory lives as long as the module: a host that releases more references than it
    // holds must not make it delete itself.
    void OnFinalRelease() override {}

    // The pointer handed out for IClassFactory (and for IUnknown).
    ClassFactory* ClassFactoryPart() { return reinterpret_cast<ClassFactory*>(&m_xClassFactory); }

    static COleObjectFactory* FromPart(void* self) {
        return static_cast<COleObjectFactory*>(CCmdTarget::FromPart(self));
    }

    // IClassFactory::CreateInstance: one new object, queried for `iid`. The caller holds the only
    // reference. An outer object is refused: the driver object is never aggregated.
    HRESULT CreateInstance(void* outer, REFIID iid, void** out);

    // IClassFactory::LockServer: nonzero takes a host lock on the module, zero gives one back.
    HRESULT LockServer(BOOL lock);

    // Fields, in their documented order.
    COleObjectFactory* m_pNextFactory = nullptr;  // link of the factory list
    CLSID m_clsid;                                // the class this factory creates
    const driver::RuntimeClass* m_pRuntimeClass;  // objects are created only through it
    const char* m_lpszProgID;                     // programmatic identifier
    BYTE m_bRegistered = 0;  // set by the start-up step; DllGetClassObject hands out only these

private:
    FactoryList& m_list;
    driver::InterfacePart m_xClassFactory;

    friend driver::InterfacePart* ClassFactoryPartOf(driver::CCmdTarget* target);
};

// The start-up step: under the list lock, marks every factory with a class identifier other than
// the null one as registered. Nothing is announced to the platform.
void RegisterAllFactories(FactoryList& list);

// DllGetClassObject: the first registered factory of `clsid`, queried for `iid`.
HRESULT GetClassObject(FactoryList& list, REFCLSID clsid, REFIID iid, void** out);

// DllCanUnloadNow: S_OK when no object, no host lock and no host reference to a factory remain.
HRESULT CanUnloadNow(FactoryList& list);

// Writes the registry entries of one factory, in order, stopping at the first that cannot be
// written. True when all of them are in place.
bool UpdateRegistry(const COleObjectFactory& factory);

// DllRegisterServer: the entries of every factory of the list. S_OK only when every factory's
// entries are in place, else SELFREG_E_CLASS.
HRESULT RegisterServer(FactoryList& list);

}  // namespace server
