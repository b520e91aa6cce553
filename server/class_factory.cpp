#include "server/class_factory.h"

#include <atomic>

#include "driver/identifiers.h"
#include "driver/module_lock.h"

namespace server {

driver::InterfacePart* ClassFactoryPartOf(driver::CCmdTarget* target) {
    return &static_cast<COleObjectFactory*>(target)->m_xClassFactory;
}

namespace {

// IClassFactory is the factory's only entry; it is also the first present part, so a query for
// IUnknown yields it. The dispatch part is never enabled, so IDispatch is refused.
constexpr driver::InterfaceEntry kFactoryInterfaces[] = {
    {&IID_IClassFactory, &ClassFactoryPartOf},
};

// The host's LockServer locks that are still outstanding. They are part of the module lock; this
// count only keeps an unlock without a matching lock from giving back a lock that a live object
// holds, which would let the platform unload the module under that object.
std::atomic<LONG> g_hostLocks{0};

HRESULT STDMETHODCALLTYPE ClassFactory_QueryInterface(ClassFactory* self, REFIID iid, void** out) {
    return COleObjectFactory::FromPart(self)->ExternalQueryInterface(&iid, out);
}

ULONG STDMETHODCALLTYPE ClassFactory_AddRef(ClassFactory* self) {
    return COleObjectFactory::FromPart(self)->ExternalAddRef();
}

ULONG STDMETHODCALLTYPE ClassFactory_Release(ClassFactory* self) {
    return COleObjectFactory::FromPart(self)->ExternalRelease();
}

HRESULT STDMETHODCALLTYPE ClassFactory_CreateInstance(ClassFactory* self, void* outer, REFIID iid,
                                                      void** out) {
    return COleObjectFactory::FromPart(self)->CreateInstance(outer, iid, out);
}

HRESULT STDMETHODCALLTYPE ClassFactory_LockServer(ClassFactory* self, BOOL lock) {
    return COleObjectFactory::FromPart(self)->LockServer(lock);
}

constexpr ClassFactoryVtbl kClassFactoryVtbl = {
    ClassFactory_QueryInterface, ClassFactory_AddRef,     ClassFactory_Release,
    ClassFactory_CreateInstance, ClassFactory_LockServer,
};

}  // namespace

COleObjectFactory::COleObjectFactory(FactoryList& list, const CLSID& clsid,
                                     const driver::RuntimeClass* runtimeClass, const char* progId)
    : m_clsid(clsid), m_pRuntimeClass(runtimeClass), m_lpszProgID(progId), m_list(list) {
    BindPart(m_xClassFactory, &kClassFactoryVtbl);
    const std::lock_guard guard(m_list.lock);
    m_pNextFactory = m_list.head;
    m_list.head = this;
}

COleObjectFactory::~COleObjectFactory() {
    const std::lock_guard guard(m_list.lock);
    m_bRegistered = 0;
    for (COleObjectFactory** link = &m_list.head; *link != nullptr;
         link = &(*link)->m_pNextFactory) {
        if (*link == this) {
            *link = m_pNextFactory;
            break;
        }
    }
    m_pNextFactory = nullptr;
}

std::span<const driver::InterfaceEntry> COleObjectFactory::GetInterfaceTable() const {
    return kFactoryInterfaces;
}

HRESULT COleObjectFactory::CreateInstance(void* outer, REFIID iid, void** out) {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;

    driver::CCmdTarget* object = m_pRuntimeClass != nullptr && m_pRuntimeClass->createObject
                                     ? m_pRuntimeClass->createObject()
                                     : nullptr;
    if (object == nullptr) return E_OUTOFMEMORY;

    // Releasing the reference of construction destroys the object, which gives back the module
    // lock its construction took: a refused creation leaves the module lock as it was.
    if (outer != nullptr) {
        object->ExternalRelease();
        return CLASS_E_NOAGGREGATION;
    }
    const HRESULT status = object->ExternalQueryInterface(&iid, out);
    // On success the query's reference is now the caller's only one; on failure this destroys
    // the object.
    object->ExternalRelease();
    return status;
}

HRESULT COleObjectFactory::LockServer(BOOL lock) {
    if (lock != 0) {
        g_hostLocks.fetch_add(1);
        driver::LockModule();
        return S_OK;
    }
    LONG held = g_hostLocks.load();
    while (held > 0) {
        if (g_hostLocks.compare_exchange_weak(held, held - 1)) {
            driver::UnlockModule();
            break;
        }
    }
    return S_OK;
}

void RegisterAllFactories(FactoryList& list) {
    const std::lock_guard guard(list.lock);
    for (COleObjectFactory* factory = list.head; factory != nullptr;
         factory = factory->m_pNextFactory) {
        if (!SameGuid(factory->m_clsid, IID_NULL)) factory->m_bRegistered = 1;
    }
}

HRESULT GetClassObject(FactoryList& list, REFCLSID clsid, REFIID iid, void** out) {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    const std::lock_guard guard(list.lock);
    for (COleObjectFactory* factory = list.head; factory != nullptr;
         factory = factory->m_pNextFactory) {
        if (factory->m_bRegistered != 0 && SameGuid(factory->m_clsid, clsid)) {
            return factory->ExternalQueryInterface(&iid, out);
        }
    }
    return CLASS_E_CLASSNOTAVAILABLE;
}

HRESULT CanUnloadNow(FactoryList& list) {
    if (driver::ModuleLockCount() != 0) return S_FALSE;
    const std::lock_guard guard(list.lock);
    for (const COleObjectFactory* factory = list.head; factory != nullptr;
         factory = factory->m_pNextFactory) {
        // A factory that nobody holds has its count of construction, 1.
        if (factory->ReferenceCount() > 1) return S_FALSE;
    }
    return S_OK;
}

HRESULT RegisterServer(FactoryList& list) {
    const std::lock_guard guard(list.lock);
    HRESULT status = S_OK;
    for (const COleObjectFactory* factory = list.head; factory != nullptr;
         factory = factory->m_pNextFactory) {
        if (!UpdateRegistry(*factory)) status = SELFREG_E_CLASS;
    }
    return status;
}

}  // namespace server
