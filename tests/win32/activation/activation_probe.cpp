// Activation by the component platform, the way a host does it, of the registered module:
// CoInitialize on the main thread (a single-threaded apartment), the class from the programmatic
// identifier, CoCreateInstance in process, release, and CoFreeUnusedLibraries unloading the
// module. Then the documented limit: from a multithreaded apartment activation is refused with
// E_NOINTERFACE, since the custom interfaces have no proxy. Prints one line per check; the exit
// status is the number of failed checks.
#include <cstdio>

#include "driver/identifiers.h"
#include "driver/interfaces.h"
#include "platform/platform.h"

namespace {

int g_failures = 0;

void Check(bool ok, const char* what, long detail = 0) {
    std::printf("%s %s (0x%08lX)\n", ok ? "ok  " : "FAIL", what,
                static_cast<unsigned long>(detail));
    if (!ok) ++g_failures;
}

// Runs in a thread of the multithreaded apartment.
DWORD WINAPI ActivateFromMta(LPVOID result) {
    HRESULT status = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (SUCCEEDED(status)) {
        void* out = nullptr;
        status = CoCreateInstance(kClsidVer4720Ezo, nullptr, CLSCTX_INPROC_SERVER, kIidDeviceDriver,
                                  &out);
        if (out != nullptr)
            static_cast<IDeviceDriver*>(out)->lpVtbl->Release(static_cast<IDeviceDriver*>(out));
        CoUninitialize();
    }
    *static_cast<HRESULT*>(result) = status;
    return 0;
}

// Waits for `thread` while serving the main apartment's messages, through which the platform
// creates the object on this thread for the other apartment.
bool WaitPumping(HANDLE thread, DWORD timeoutMs) {
    const DWORD start = GetTickCount();
    for (;;) {
        const DWORD elapsed = GetTickCount() - start;
        if (elapsed >= timeoutMs) return false;
        const DWORD woke =
            MsgWaitForMultipleObjects(1, &thread, FALSE, timeoutMs - elapsed, QS_ALLINPUT);
        if (woke == WAIT_OBJECT_0) return true;
        if (woke != WAIT_OBJECT_0 + 1) return false;
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
    }
}

}  // namespace

int main() {
    HRESULT status = CoInitialize(nullptr);
    Check(SUCCEEDED(status), "CoInitialize on the main thread", status);

    CLSID clsid{};
    status = CLSIDFromProgID(L"QM4720.QM4720Pro", &clsid);
    Check(status == S_OK && SameGuid(clsid, kClsidVer4720Ezo), "CLSIDFromProgID", status);

    void* out = nullptr;
    status = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, kIidDeviceDriver, &out);
    Check(status == S_OK && out != nullptr, "CoCreateInstance for IDeviceDriver", status);
    if (out != nullptr) {
        auto* driver = static_cast<IDeviceDriver*>(out);
        Check(GetModuleHandleA("qm4720.dll") != nullptr, "the platform loaded the module");
        Check(driver->lpVtbl->GetErrorText(driver) == nullptr, "a new object has no error");
        const RegisterDescriptor* table = nullptr;
        std::int32_t count = 0;
        Check(driver->lpVtbl->GetRegisterTable(driver, "", &table, &count) == 1 && count > 0,
              "the object answers through its slots", count);
        const ULONG left = driver->lpVtbl->Release(driver);
        Check(left == 0, "the release destroys the object", static_cast<long>(left));
    }
    CoFreeUnusedLibraries();
    Check(GetModuleHandleA("qm4720.dll") == nullptr, "CoFreeUnusedLibraries unloaded the module");

    HRESULT fromMta = S_OK;
    HANDLE thread = CreateThread(nullptr, 0, ActivateFromMta, &fromMta, 0, nullptr);
    Check(thread != nullptr && WaitPumping(thread, 20000), "the other apartment's thread ended");
    if (thread != nullptr) CloseHandle(thread);
    Check(fromMta == E_NOINTERFACE, "activation from a multithreaded apartment is refused",
          fromMta);

    CoUninitialize();
    return g_failures;
}
