#include "driver/cmd_target.h"

#include "driver/identifiers.h"

namespace driver {

InterfacePart* DispatchPartOf(CCmdTarget* target) {
    return &target->m_xDispatch;
}

namespace {

// The base's own interface table, searched after the class's.
constexpr InterfaceEntry kBaseInterfaces[] = {
    {&IID_IDispatch, &DispatchPartOf},
};

bool IsPresent(const InterfacePart* part) {
    return part->vtbl != nullptr;
}

// IDispatch with no members: every look-up and every call is refused.
struct DispatchVtbl {
    HRESULT(STDMETHODCALLTYPE* QueryInterface)(void* self, REFIID iid, void** out);
    ULONG(STDMETHODCALLTYPE* AddRef)(void* self);
    ULONG(STDMETHODCALLTYPE* Release)(void* self);
    HRESULT(STDMETHODCALLTYPE* GetTypeInfoCount)(void* self, UINT* count);
    HRESULT(STDMETHODCALLTYPE* GetTypeInfo)(void* self, UINT index, LCID lcid, ITypeInfo** info);
    HRESULT(STDMETHODCALLTYPE* GetIDsOfNames)
    (void* self, REFIID iid, LPOLESTR* names, UINT count, LCID lcid, DISPID* ids);
    HRESULT(STDMETHODCALLTYPE* Invoke)
    (void* self, DISPID member, REFIID iid, LCID lcid, WORD flags, DISPPARAMS* params,
     VARIANT* result, EXCEPINFO* exception, UINT* argError);
};

HRESULT STDMETHODCALLTYPE DispatchQueryInterface(void* self, REFIID iid, void** out) {
    return CCmdTarget::FromPart(self)->ExternalQueryInterface(&iid, out);
}

ULONG STDMETHODCALLTYPE DispatchAddRef(void* self) {
    return CCmdTarget::FromPart(self)->ExternalAddRef();
}

ULONG STDMETHODCALLTYPE DispatchRelease(void* self) {
    return CCmdTarget::FromPart(self)->ExternalRelease();
}

HRESULT STDMETHODCALLTYPE DispatchGetTypeInfoCount(void*, UINT* count) {
    if (count == nullptr) return E_POINTER;
    *count = 0;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE DispatchGetTypeInfo(void*, UINT index, LCID, ITypeInfo** info) {
    if (info != nullptr) *info = nullptr;
    return index != 0 ? E_INVALIDARG : E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE DispatchGetIDsOfNames(void*, REFIID iid, LPOLESTR*, UINT, LCID, DISPID*) {
    if (!SameGuid(iid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
    return DISP_E_UNKNOWNNAME;
}

HRESULT STDMETHODCALLTYPE DispatchInvoke(void*, DISPID, REFIID iid, LCID, WORD, DISPPARAMS* params,
                                         VARIANT*, EXCEPINFO*, UINT*) {
    if (!SameGuid(iid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
    if (params != nullptr && params->cNamedArgs != 0) {
        // The single named argument of a property put is allowed; any other is not.
        const bool propertyPut = params->cNamedArgs == 1 && params->rgdispidNamedArgs != nullptr &&
                                 params->rgdispidNamedArgs[0] == DISPID_PROPERTYPUT;
        if (!propertyPut) return DISP_E_NONAMEDARGS;
    }
    return DISP_E_MEMBERNOTFOUND;
}

constexpr DispatchVtbl kDispatchVtbl = {
    DispatchQueryInterface, DispatchAddRef,        DispatchRelease, DispatchGetTypeInfoCount,
    DispatchGetTypeInfo,    DispatchGetIDsOfNames, DispatchInvoke,
};

}  // namespace

CCmdTarget::CCmdTarget() = default;

CCmdTarget::~CCmdTarget() = default;

void CCmdTarget::EnableAutomation() {
    BindPart(m_xDispatch, &kDispatchVtbl);
}

InterfacePart* CCmdTarget::FindPart(const IID* iid) {
    // IUnknown: the first present part of the tables is the object's identity.
    const bool anyPresent = SameGuid(*iid, IID_IUnknown);
    for (std::span<const InterfaceEntry> table :
         {GetInterfaceTable(), std::span<const InterfaceEntry>(kBaseInterfaces)}) {
        for (const InterfaceEntry& entry : table) {
            InterfacePart* part = entry.part(this);
            if (IsPresent(part) && (anyPresent || SameGuid(*entry.iid, *iid))) return part;
        }
    }
    return nullptr;
}

HRESULT CCmdTarget::ExternalQueryInterface(const IID* iid, void** out) {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (iid == nullptr) return E_NOINTERFACE;
    InterfacePart* part = FindPart(iid);
    if (part == nullptr) return E_NOINTERFACE;
    *out = part;
    ExternalAddRef();
    return S_OK;
}

ULONG CCmdTarget::ExternalAddRef() {
    return static_cast<ULONG>(++m_dwRef);
}

ULONG CCmdTarget::ExternalRelease() {
    LONG current = m_dwRef.load();
    // A count that is already 0 stays 0; otherwise decrement without ever going below 0.
    do {
        if (current <= 0) return 0;
    } while (!m_dwRef.compare_exchange_weak(current, current - 1));
    const LONG now = current - 1;
    if (now == 0) OnFinalRelease();
    return static_cast<ULONG>(now);
}

}  // namespace driver
