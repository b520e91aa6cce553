// Placeholder until the class factory arrives: the module loads, hands out nothing.
#include "platform/platform.h"

QM_EXPORT HRESULT STDMETHODCALLTYPE DllGetClassObject(REFCLSID, REFIID, void** out) {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    return CLASS_E_CLASSNOTAVAILABLE;
}

QM_EXPORT HRESULT STDMETHODCALLTYPE DllCanUnloadNow() { return S_OK; }

QM_EXPORT HRESULT STDMETHODCALLTYPE DllRegisterServer() { return SELFREG_E_CLASS; }
