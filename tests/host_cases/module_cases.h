// What a host sees of the built module through its three exported entry points and the slots of
// the class factory and the driver object: hand-out of the factory, creation, refusals and the
// unload rule. Included by one test file per operating system, which supplies Exports(): the
// entry points of the module, loaded once the way that system's hosts load it.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <string>

#include "driver/identifiers.h"
#include "driver/interfaces.h"
#include "contract/messages.h"
#include "platform/platform.h"
#include "tests/host_cases/module_exports.h"
#include "tests/support/test_request.h"

namespace module_cases {

inline void* Sentinel() {
    return reinterpret_cast<void*>(static_cast<std::uintptr_t>(0xdeadbeef));
}

// LockServer's flag.
inline constexpr BOOL kLock = 1;
inline constexpr BOOL kUnlock = 0;

// An identifier that nothing in the module answers to.
inline constexpr GUID kStranger = {
    0x0BADF00D, 0x1234, 0x5678, {0x9A, 0xBC, 0xDE, 0xF0, 0x12, 0x34, 0x56, 0x78}};

// Every test starts and must end with nothing holding the module.
class ModuleHost : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(Exports().getClassObject, nullptr);
        ASSERT_NE(Exports().canUnloadNow, nullptr);
        ASSERT_NE(Exports().registerServer, nullptr);
        ASSERT_EQ(CanUnloadNow(), S_OK) << "the module is held before the test";
    }
    void TearDown() override {
        if (Exports().canUnloadNow != nullptr) {
            EXPECT_EQ(CanUnloadNow(), S_OK) << "the test left the module held";
        }
    }

    static HRESULT CanUnloadNow() { return Exports().canUnloadNow(); }

    // The factory as IClassFactory; the caller releases it.
    static ClassFactory* GetFactory() {
        void* out = Sentinel();
        EXPECT_EQ(Exports().getClassObject(kClsidVer4720Ezo, IID_IClassFactory, &out), S_OK);
        return static_cast<ClassFactory*>(out);
    }
};

TEST_F(ModuleHost, ClassesOtherThanTheDriversAreNotAvailable) {
    GUID nearMiss = kClsidVer4720Ezo;
    nearMiss.Data4[7] ^= 0x01;
    GUID otherFirstWord = kClsidVer4720Ezo;
    otherFirstWord.Data1 += 1;
    for (const GUID& clsid : {IID_NULL, kStranger, kIidDeviceDriver, nearMiss, otherFirstWord}) {
        void* out = Sentinel();
        EXPECT_EQ(Exports().getClassObject(clsid, IID_IClassFactory, &out),
                  CLASS_E_CLASSNOTAVAILABLE);
        EXPECT_EQ(out, nullptr);
    }
    EXPECT_EQ(CanUnloadNow(), S_OK);
}

TEST_F(ModuleHost, NullPlaceToStoreIsRefusedAndTakesNoReference) {
    EXPECT_EQ(Exports().getClassObject(kClsidVer4720Ezo, IID_IClassFactory, nullptr), E_POINTER);
    EXPECT_EQ(Exports().getClassObject(kStranger, IID_IClassFactory, nullptr), E_POINTER);
    EXPECT_EQ(CanUnloadNow(), S_OK);
}

TEST_F(ModuleHost, FactoryRefusesInterfacesItDoesNotHave) {
    for (const IID& iid : {IID_IDispatch, kIidDeviceDriver, kIidDeviceDriverEx, kStranger}) {
        void* out = Sentinel();
        EXPECT_EQ(Exports().getClassObject(kClsidVer4720Ezo, iid, &out), E_NOINTERFACE);
        EXPECT_EQ(out, nullptr);
    }
    EXPECT_EQ(CanUnloadNow(), S_OK) << "a refused query kept a reference";

    ClassFactory* factory = GetFactory();
    ASSERT_NE(factory, nullptr);
    void* out = Sentinel();
    EXPECT_EQ(factory->lpVtbl->QueryInterface(factory, IID_IDispatch, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(factory->lpVtbl->Release(factory), 1u);
}

TEST_F(ModuleHost, ClassFactoryAndUnknownAreOnePartThatHoldsTheModule) {
    ClassFactory* factory = GetFactory();
    ASSERT_NE(factory, nullptr);
    EXPECT_EQ(CanUnloadNow(), S_FALSE);

    void* unknown = Sentinel();
    ASSERT_EQ(Exports().getClassObject(kClsidVer4720Ezo, IID_IUnknown, &unknown), S_OK);
    EXPECT_EQ(unknown, static_cast<void*>(factory));
    void* queried = Sentinel();
    ASSERT_EQ(factory->lpVtbl->QueryInterface(factory, IID_IUnknown, &queried), S_OK);
    EXPECT_EQ(queried, static_cast<void*>(factory));

    // Three references handed out on top of the factory's own: the count says 4.
    EXPECT_EQ(factory->lpVtbl->AddRef(factory), 5u);
    EXPECT_EQ(factory->lpVtbl->Release(factory), 4u);
    EXPECT_EQ(factory->lpVtbl->Release(factory), 3u);
    EXPECT_EQ(factory->lpVtbl->Release(factory), 2u);
    EXPECT_EQ(CanUnloadNow(), S_FALSE) << "one reference is still held";
    EXPECT_EQ(factory->lpVtbl->Release(factory), 1u);
    EXPECT_EQ(CanUnloadNow(), S_OK);
}

TEST_F(ModuleHost, LockServerHoldsTheModuleWithoutAnyObject) {
    ClassFactory* factory = GetFactory();
    ASSERT_NE(factory, nullptr);
    EXPECT_EQ(factory->lpVtbl->LockServer(factory, kLock), S_OK);
    EXPECT_EQ(factory->lpVtbl->Release(factory), 1u) << "LockServer touched the factory's count";
    EXPECT_EQ(CanUnloadNow(), S_FALSE);

    factory = GetFactory();
    ASSERT_NE(factory, nullptr);
    EXPECT_EQ(factory->lpVtbl->LockServer(factory, 7), S_OK) << "any nonzero flag locks";
    EXPECT_EQ(factory->lpVtbl->LockServer(factory, kUnlock), S_OK);
    EXPECT_EQ(factory->lpVtbl->Release(factory), 1u);
    EXPECT_EQ(CanUnloadNow(), S_FALSE) << "one of two locks is still held";

    factory = GetFactory();
    ASSERT_NE(factory, nullptr);
    EXPECT_EQ(factory->lpVtbl->LockServer(factory, kUnlock), S_OK);
    EXPECT_EQ(factory->lpVtbl->Release(factory), 1u);
    EXPECT_EQ(CanUnloadNow(), S_OK);
}

TEST_F(ModuleHost, AnUnlockWithoutALockDoesNotFreeTheModuleUnderALiveObject) {
    ClassFactory* factory = GetFactory();
    ASSERT_NE(factory, nullptr);
    void* out = Sentinel();
    ASSERT_EQ(factory->lpVtbl->CreateInstance(factory, nullptr, kIidDeviceDriver, &out), S_OK);
    auto* driver = static_cast<IDeviceDriver*>(out);
    EXPECT_EQ(factory->lpVtbl->LockServer(factory, kUnlock), S_OK);
    EXPECT_EQ(factory->lpVtbl->Release(factory), 1u);
    EXPECT_EQ(CanUnloadNow(), S_FALSE) << "the module could be unloaded under a live object";
    EXPECT_EQ(driver->lpVtbl->Release(driver), 0u);
    EXPECT_EQ(CanUnloadNow(), S_OK);
}

TEST_F(ModuleHost, ObjectForIDeviceDriverExHasOneReferenceAndItsReleaseFreesTheModule) {
    ClassFactory* factory = GetFactory();
    ASSERT_NE(factory, nullptr);
    void* out = Sentinel();
    ASSERT_EQ(factory->lpVtbl->CreateInstance(factory, nullptr, kIidDeviceDriverEx, &out), S_OK);
    EXPECT_EQ(factory->lpVtbl->Release(factory), 1u);
    auto* ex = static_cast<IDeviceDriverEx*>(out);
    ASSERT_NE(ex, nullptr);
    EXPECT_EQ(CanUnloadNow(), S_FALSE) << "a live object must hold the module";

    EXPECT_EQ(ex->lpVtbl->AddRef(ex), 2u);
    EXPECT_EQ(ex->lpVtbl->Release(ex), 1u);
    // A new object, reached through its slots: no port yet.
    HANDLE handle = 0;
    EXPECT_EQ(ex->lpVtbl->GetPortHandle(ex, &handle), 1);
    EXPECT_EQ(handle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(ex->lpVtbl->Release(ex), 0u);
    EXPECT_EQ(CanUnloadNow(), S_OK);
}

TEST_F(ModuleHost, EveryInterfaceOfTheObjectCanBeCreatedWithOneReference) {
    ClassFactory* factory = GetFactory();
    ASSERT_NE(factory, nullptr);
    for (const IID& iid : {IID_IUnknown, IID_IDispatch, kIidVer4720EzoDispatch, kIidDeviceDriver,
                           kIidDeviceDriverEx}) {
        void* out = Sentinel();
        ASSERT_EQ(factory->lpVtbl->CreateInstance(factory, nullptr, iid, &out), S_OK);
        ASSERT_NE(out, nullptr);
        // Every part starts with the IUnknown slots.
        auto* unknown = static_cast<ClassFactory*>(out);
        EXPECT_EQ(unknown->lpVtbl->AddRef(unknown), 2u);
        EXPECT_EQ(unknown->lpVtbl->Release(unknown), 1u);
        EXPECT_EQ(unknown->lpVtbl->Release(unknown), 0u);
    }
    EXPECT_EQ(factory->lpVtbl->Release(factory), 1u);
}

TEST_F(ModuleHost, EachLiveObjectHoldsTheModule) {
    ClassFactory* factory = GetFactory();
    ASSERT_NE(factory, nullptr);
    void* first = nullptr;
    void* second = nullptr;
    ASSERT_EQ(factory->lpVtbl->CreateInstance(factory, nullptr, kIidDeviceDriver, &first), S_OK);
    ASSERT_EQ(factory->lpVtbl->CreateInstance(factory, nullptr, kIidDeviceDriver, &second), S_OK);
    EXPECT_NE(first, second);
    EXPECT_EQ(factory->lpVtbl->Release(factory), 1u);
    auto* a = static_cast<IDeviceDriver*>(first);
    auto* b = static_cast<IDeviceDriver*>(second);
    EXPECT_EQ(a->lpVtbl->Release(a), 0u);
    EXPECT_EQ(CanUnloadNow(), S_FALSE) << "the second object is still alive";
    EXPECT_EQ(b->lpVtbl->Release(b), 0u);
    EXPECT_EQ(CanUnloadNow(), S_OK);
}

TEST_F(ModuleHost, RefusedCreationsStoreNullAndLeaveTheModuleLockAsItWas) {
    struct Case {
        const char* what;
        bool withOuter;
        const IID* iid;
        HRESULT status;
    };
    const Case cases[] = {
        {"outer object", true, &kIidDeviceDriverEx, CLASS_E_NOAGGREGATION},
        {"outer object, interface missing too", true, &kStranger, CLASS_E_NOAGGREGATION},
        {"interface the object lacks", false, &kStranger, E_NOINTERFACE},
        {"the factory's own interface", false, &IID_IClassFactory, E_NOINTERFACE},
    };
    ClassFactory* factory = GetFactory();
    ASSERT_NE(factory, nullptr);
    // An object that the refused creations must not disturb.
    void* outerObject = nullptr;
    ASSERT_EQ(factory->lpVtbl->CreateInstance(factory, nullptr, IID_IUnknown, &outerObject), S_OK);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        for (const bool hostLock : {false, true}) {
            if (hostLock) factory->lpVtbl->LockServer(factory, kLock);
            void* out = Sentinel();
            EXPECT_EQ(factory->lpVtbl->CreateInstance(factory, c.withOuter ? outerObject : nullptr,
                                                      *c.iid, &out),
                      c.status);
            EXPECT_EQ(out, nullptr);
            if (hostLock) factory->lpVtbl->LockServer(factory, kUnlock);
        }
    }
    EXPECT_EQ(factory->lpVtbl->CreateInstance(factory, nullptr, kIidDeviceDriver, nullptr),
              E_POINTER);
    // The refusals neither leaked an object nor gave back a lock they did not take: with the
    // one object released, nothing holds the module; had one of them released a lock too many,
    // the object would no longer hold it.
    EXPECT_EQ(CanUnloadNow(), S_FALSE);
    auto* unknown = static_cast<ClassFactory*>(outerObject);
    EXPECT_EQ(factory->lpVtbl->Release(factory), 1u);
    EXPECT_EQ(CanUnloadNow(), S_FALSE);
    EXPECT_EQ(unknown->lpVtbl->Release(unknown), 0u);
    EXPECT_EQ(CanUnloadNow(), S_OK);
}

// A request whose station, register or direction no frame can carry fails before the line with the
// reason of that field, whichever entry point takes it: never a 0 that leaves the host reading an
// earlier failure's text, or none at all. No port is open, so a request that got past the checks
// would fail on the port instead.
TEST_F(ModuleHost, RequestsNoFrameCanCarryFailWithTheirOwnReason) {
    enum class Call { kExecuteRequestEx, kExecuteRequest, kProbeDevice };
    const struct Case {
        const char* what;
        Call call;
        const char* model;
        std::int16_t direction;
        std::int32_t station;
        std::int16_t index;
        const char* text;
        bool withItem;
        std::int32_t error;
    } cases[] = {
        {"station 100", Call::kExecuteRequestEx, "", 0, 100, 4, "PV", true, QM4720_ERROR_STATION},
        {"station -1", Call::kExecuteRequestEx, "", 0, -1, 4, "PV", true, QM4720_ERROR_STATION},
        {"register index 999", Call::kExecuteRequestEx, "", 0, 1, 999, "PV", true,
         QM4720_ERROR_REGISTER_RANGE},
        {"register text 'P', QM4720N", Call::kExecuteRequestEx, "QM4720N", 0, 1, 4, "P", true,
         QM4720_ERROR_REGISTER_NAME},
        {"direction 7", Call::kExecuteRequestEx, "", 7, 1, 4, "PV", true, QM4720_ERROR_FORMAT},
        {"a write without an item", Call::kExecuteRequestEx, "", 1, 1, 13, "SP", false,
         QM4720_ERROR_FORMAT},
        {"station 100, basic entry", Call::kExecuteRequest, "", 0, 100, 4, "PV", true,
         QM4720_ERROR_STATION},
        {"register index 999, basic entry", Call::kExecuteRequest, "", 0, 1, 999, "PV", true,
         QM4720_ERROR_REGISTER_RANGE},
        {"probe of station 100", Call::kProbeDevice, "", 0, 100, 0, "EE", true,
         QM4720_ERROR_STATION},
        {"probe of station -1", Call::kProbeDevice, "", 0, -1, 0, "EE", true, QM4720_ERROR_STATION},
    };
    ClassFactory* factory = GetFactory();
    ASSERT_NE(factory, nullptr);
    void* out = nullptr;
    ASSERT_EQ(factory->lpVtbl->CreateInstance(factory, nullptr, kIidDeviceDriver, &out), S_OK);
    EXPECT_EQ(factory->lpVtbl->Release(factory), 1u);
    auto* dd = static_cast<IDeviceDriver*>(out);
    void* exOut = nullptr;
    ASSERT_EQ(dd->lpVtbl->QueryInterface(dd, kIidDeviceDriverEx, &exOut), S_OK);
    auto* ex = static_cast<IDeviceDriverEx*>(exOut);

    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        // An earlier failure of another kind, which the refusal must replace.
        if (c.error == QM4720_ERROR_STATION) {
            TagSpec empty{};
            TagBinding binding{};
            ASSERT_EQ(dd->lpVtbl->ParseRegister(dd, &empty, &binding), 1);
        } else {
            std::int32_t station = 0;
            ASSERT_EQ(dd->lpVtbl->CheckStation(dd, "x", &station), 0);
        }
        testing_support::TestRequest request(c.direction, static_cast<std::int16_t>(c.station),
                                             c.index, c.text, c.model);
        if (c.withItem) request.AddFloat(1.0f);
        std::int32_t result = -1;
        switch (c.call) {
            case Call::kExecuteRequestEx:
                result = ex->lpVtbl->ExecuteRequestEx(ex, &request.request());
                break;
            case Call::kExecuteRequest:
                result = dd->lpVtbl->ExecuteRequest(dd, &request.request());
                break;
            case Call::kProbeDevice:
                result = dd->lpVtbl->ProbeDevice(dd, c.model, c.station, 0);
                break;
        }
        EXPECT_EQ(result, 0);
        const char* text = dd->lpVtbl->GetErrorText(dd);
        ASSERT_NE(text, nullptr);
        EXPECT_EQ(std::string(text), contract::MessageText(c.error));
    }
    EXPECT_EQ(ex->lpVtbl->Release(ex), 1u);
    EXPECT_EQ(dd->lpVtbl->Release(dd), 0u);
}

}  // namespace module_cases
