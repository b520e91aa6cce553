// The driver object as the host sees it through its three parts: identity, reference counts,
// the dispatch answers, the reserved slots, the module's live-object count and the error text.
#include <gtest/gtest.h>

#include "driver/identifiers.h"
#include "driver/module_lock.h"
#include "driver/ver4720ezo.h"

namespace {

using driver::VER4720Ezo;

// The dispatch part's slot table as a host calls it.
struct DispatchVtbl {
    HRESULT(STDMETHODCALLTYPE* QueryInterface)(void*, REFIID, void**);
    ULONG(STDMETHODCALLTYPE* AddRef)(void*);
    ULONG(STDMETHODCALLTYPE* Release)(void*);
    HRESULT(STDMETHODCALLTYPE* GetTypeInfoCount)(void*, UINT*);
    HRESULT(STDMETHODCALLTYPE* GetTypeInfo)(void*, UINT, LCID, ITypeInfo**);
    HRESULT(STDMETHODCALLTYPE* GetIDsOfNames)(void*, REFIID, LPOLESTR*, UINT, LCID, DISPID*);
    HRESULT(STDMETHODCALLTYPE* Invoke)
    (void*, DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*);
};
const DispatchVtbl* SlotsOf(void* part) {
    return *static_cast<const DispatchVtbl**>(part);
}

class DriverObject : public ::testing::Test {
protected:
    void SetUp() override {
        locksBefore_ = driver::ModuleLockCount();
        object_ = static_cast<VER4720Ezo*>(VER4720Ezo::CreateObject());
        ASSERT_NE(object_, nullptr);
        dd_ = object_->DeviceDriver();
        ex_ = object_->DeviceDriverEx();
    }
    void TearDown() override {
        if (object_ != nullptr) dd_->lpVtbl->Release(dd_);
        EXPECT_EQ(driver::ModuleLockCount(), locksBefore_);
    }
    void* Query(REFIID iid) {
        void* out = reinterpret_cast<void*>(0xdeadbeef);
        EXPECT_EQ(dd_->lpVtbl->QueryInterface(dd_, iid, &out), S_OK);
        return out;
    }

    std::int32_t locksBefore_ = 0;
    VER4720Ezo* object_ = nullptr;
    IDeviceDriver* dd_ = nullptr;
    IDeviceDriverEx* ex_ = nullptr;
};

TEST_F(DriverObject, StartsWithNoErrorNoPortAndTheDefaultTimeout) {
    EXPECT_EQ(object_->ReferenceCount(), 1);
    EXPECT_EQ(driver::ModuleLockCount(), locksBefore_ + 1);
    EXPECT_EQ(dd_->lpVtbl->GetErrorText(dd_), nullptr);
    EXPECT_EQ(object_->m_nTimeout, 1500);
    EXPECT_EQ(object_->m_nBaudFactor, 1);
    HANDLE handle{};
    EXPECT_EQ(ex_->lpVtbl->GetPortHandle(ex_, &handle), 1);
    EXPECT_EQ(handle, INVALID_HANDLE_VALUE);
}

TEST_F(DriverObject, EveryPartLeadsToTheSameIdentityAndCount) {
    void* dispatch = Query(IID_IDispatch);
    EXPECT_EQ(Query(kIidVer4720EzoDispatch), dispatch);
    EXPECT_EQ(Query(kIidDeviceDriver), static_cast<void*>(dd_));
    EXPECT_EQ(Query(kIidDeviceDriverEx), static_cast<void*>(ex_));
    EXPECT_EQ(object_->ReferenceCount(), 5);

    // IUnknown through each part is the dispatch part, and each query adds one reference.
    void* out = nullptr;
    ASSERT_EQ(ex_->lpVtbl->QueryInterface(ex_, IID_IUnknown, &out), S_OK);
    EXPECT_EQ(out, dispatch);
    ASSERT_EQ(SlotsOf(dispatch)->QueryInterface(dispatch, IID_IUnknown, &out), S_OK);
    EXPECT_EQ(out, dispatch);
    ASSERT_EQ(dd_->lpVtbl->QueryInterface(dd_, IID_IUnknown, &out), S_OK);
    EXPECT_EQ(out, dispatch);
    EXPECT_EQ(object_->ReferenceCount(), 8);

    // A query through the dispatch part for a custom interface yields that part.
    ASSERT_EQ(SlotsOf(dispatch)->QueryInterface(dispatch, kIidDeviceDriverEx, &out), S_OK);
    EXPECT_EQ(out, static_cast<void*>(ex_));

    // AddRef and Release act on the one count through every part.
    EXPECT_EQ(ex_->lpVtbl->AddRef(ex_), 10u);
    EXPECT_EQ(SlotsOf(dispatch)->Release(dispatch), 9u);
    for (ULONG expected = 8; expected >= 1; --expected) {
        EXPECT_EQ(dd_->lpVtbl->Release(dd_), expected);
    }
}

TEST_F(DriverObject, UnknownInterfaceStoresNullAndKeepsTheCount) {
    void* out = reinterpret_cast<void*>(0xdeadbeef);
    EXPECT_EQ(dd_->lpVtbl->QueryInterface(dd_, IID_IClassFactory, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(dd_->lpVtbl->QueryInterface(dd_, kIidDeviceDriver, nullptr), E_POINTER);
    EXPECT_EQ(object_->ReferenceCount(), 1);
}

TEST_F(DriverObject, DispatchPartHasNoMembers) {
    void* dispatch = Query(IID_IDispatch);
    const DispatchVtbl* slots = SlotsOf(dispatch);

    UINT count = 77;
    EXPECT_EQ(slots->GetTypeInfoCount(dispatch, &count), S_OK);
    EXPECT_EQ(count, 0u);
    ITypeInfo* info = reinterpret_cast<ITypeInfo*>(0xdeadbeef);
    EXPECT_EQ(slots->GetTypeInfo(dispatch, 0, 0, &info), E_NOTIMPL);
    EXPECT_EQ(info, nullptr);
    EXPECT_EQ(slots->GetTypeInfo(dispatch, 1, 0, &info), E_INVALIDARG);

    OLECHAR name[] = {u'X', 0};
    LPOLESTR names[] = {name};
    DISPID id = 0;
    EXPECT_EQ(slots->GetIDsOfNames(dispatch, IID_NULL, names, 1, 0, &id), DISP_E_UNKNOWNNAME);
    EXPECT_EQ(slots->GetIDsOfNames(dispatch, IID_IDispatch, names, 1, 0, &id),
              DISP_E_UNKNOWNINTERFACE);

    DISPID named[2] = {DISPID_PROPERTYPUT, 5};
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    DISPPARAMS put{nullptr, named, 1, 1};
    DISPPARAMS otherNamed{nullptr, named + 1, 1, 1};
    DISPPARAMS twoNamed{nullptr, named, 2, 2};
    EXPECT_EQ(slots->Invoke(dispatch, 1, IID_NULL, 0, 1, &none, nullptr, nullptr, nullptr),
              DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(slots->Invoke(dispatch, 1, IID_NULL, 0, 4, &put, nullptr, nullptr, nullptr),
              DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(slots->Invoke(dispatch, 1, IID_NULL, 0, 1, &otherNamed, nullptr, nullptr, nullptr),
              DISP_E_NONAMEDARGS);
    EXPECT_EQ(slots->Invoke(dispatch, 1, IID_NULL, 0, 1, &twoNamed, nullptr, nullptr, nullptr),
              DISP_E_NONAMEDARGS);
    EXPECT_EQ(
        slots->Invoke(dispatch, 1, kIidDeviceDriver, 0, 1, &twoNamed, nullptr, nullptr, nullptr),
        DISP_E_UNKNOWNINTERFACE);
    slots->Release(dispatch);
}

TEST_F(DriverObject, ReservedSlotsAnswerWithoutTouchingTheObject) {
    object_->RecordError(contract::kErrorTimeout);
    const HANDLE port = object_->m_hPort;
    EXPECT_EQ(dd_->lpVtbl->Reserved6, dd_->lpVtbl->Reserved9);
    EXPECT_EQ(dd_->lpVtbl->Reserved6, ex_->lpVtbl->Reserved5);
    EXPECT_NE(dd_->lpVtbl->Reserved6, dd_->lpVtbl->Reserved10);
    EXPECT_EQ(dd_->lpVtbl->Reserved6(dd_, -1, 0x7fffffff, 0), 1);
    EXPECT_EQ(dd_->lpVtbl->Reserved9(dd_, 0, 0, 0), 1);
    EXPECT_EQ(ex_->lpVtbl->Reserved5(ex_, 1, 2, 3), 1);
    EXPECT_EQ(dd_->lpVtbl->Reserved10(dd_, 1, 2, 3), 0);
    EXPECT_EQ(object_->m_nError, contract::kErrorTimeout);
    EXPECT_EQ(object_->m_hPort, port);
    EXPECT_EQ(object_->ReferenceCount(), 1);
}

TEST_F(DriverObject, LastReleaseDestroysTheObjectAndDropsTheModuleLock) {
    EXPECT_EQ(driver::ModuleLockCount(), locksBefore_ + 1);
    EXPECT_EQ(ex_->lpVtbl->Release(ex_), 0u);
    object_ = nullptr;
    EXPECT_EQ(driver::ModuleLockCount(), locksBefore_);
}

TEST_F(DriverObject, ErrorTextNeverReadsOutsideTheTable) {
    object_->RecordError(contract::kErrorReply);
    EXPECT_STREQ(dd_->lpVtbl->GetErrorText(dd_), contract::MessageText(15));
    // A platform code from a failed write gives the open-error text, whatever its number.
    for (DWORD code : {6u, 16u, 87u, 0xFFFFFFFFu}) {
        object_->RecordPlatformError(code);
        EXPECT_EQ(object_->m_nError, static_cast<std::int32_t>(code));
        EXPECT_STREQ(dd_->lpVtbl->GetErrorText(dd_), contract::MessageText(contract::kErrorOpen));
    }
    for (std::int32_t code : {17, 100, -2}) {
        object_->RecordError(code);
        EXPECT_EQ(dd_->lpVtbl->GetErrorText(dd_), nullptr);
    }
}

}  // namespace
