// Activation by the component platform, the way a host does it, of the registered module:
// CoInitialize on the main thread (a single-threaded apartment), the class from the programmatic
// identifier, CoCreateInstance in process, release, and CoFreeUnusedLibraries unloading the
// module. Then the documented limit: from a multithreaded apartment activation is refused with
// E_NOINTERFACE, since the custom interfaces have no proxy. Prints one line per check; the exit
// status is the number of failed checks.
//
// Usage: qm4720_activation_probe [PORT STATION]
// With a port (e.g. COM5, served by the instrument simulator), the object also opens it, reads PV
// of STATION (default model) through IDeviceDriverEx and closes it before it is released, so the
// unload is shown after the object has done real work on a line.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "contract/data_type.h"
#include "driver/identifiers.h"
#include "driver/interfaces.h"
#include "platform/platform.h"

namespace {

int g_failures = 0;

using CanUnloadNowEntry = HRESULT(STDAPICALLTYPE*)();

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

// What the module itself answers to the platform's question whether it may be unloaded.
HRESULT AskCanUnloadNow() {
    HMODULE module = GetModuleHandleA("qm4720.dll");
    if (module == nullptr) return E_UNEXPECTED;
    auto entry = reinterpret_cast<CanUnloadNowEntry>(
        reinterpret_cast<void*>(GetProcAddress(module, "DllCanUnloadNow")));
    return entry != nullptr ? entry() : E_UNEXPECTED;
}

// Opens `port`, reads PV of `station` through IDeviceDriverEx, closes the port and releases the
// extended interface again.
void UseTheLine(IDeviceDriver* driver, const char* port, int station) {
    void* ex = nullptr;
    HRESULT status = driver->lpVtbl->QueryInterface(driver, kIidDeviceDriverEx, &ex);
    Check(status == S_OK && ex != nullptr, "QueryInterface for IDeviceDriverEx", status);
    if (ex == nullptr) return;
    auto* driverEx = static_cast<IDeviceDriverEx*>(ex);

    PortSettings settings{};
    std::strncpy(settings.portName, port, sizeof settings.portName - 1);
    settings.baudRate = 9600;
    settings.dataBits = 8;
    settings.stopBits = 1;
    settings.replyTimeout = 1000;
    const std::int32_t opened = driver->lpVtbl->OpenPort(driver, 0, &settings);
    Check(opened == 1, "OpenPort on the line", opened);
    if (opened == 1) {
        IoItem item{};
        item.type = kTypeFloat;
        item.quality = -1;
        IoItemNode node{nullptr, nullptr, &item};
        IoRequest request{};
        request.station = static_cast<std::int16_t>(station);
        request.modelName = "";
        request.registerText = "PV";
        request.registerIndex = 4;
        request.direction = kDirectionRead;
        request.items.head = &node;
        request.items.tail = &node;
        request.items.count = 1;
        const std::int32_t read = driverEx->lpVtbl->ExecuteRequestEx(driverEx, &request);
        Check(read == 1 && item.quality == 192, "ExecuteRequestEx reads PV with quality 192", read);
        std::printf("     PV of station %d = %g\n", station,
                    static_cast<double>(item.value.asFloat));
        const std::int32_t closed = driver->lpVtbl->ClosePort(driver);
        Check(closed == 1, "ClosePort", closed);
    }
    driverEx->lpVtbl->Release(driverEx);
}

}  // namespace

int main(int argc, char** argv) {
    const char* port = argc >= 3 ? argv[1] : nullptr;
    const int station = argc >= 3 ? std::atoi(argv[2]) : 0;

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
        const std::int32_t answered = driver->lpVtbl->GetRegisterTable(driver, "", &table, &count);
        Check(answered == 1 && count > 0, "the object answers through its slots", count);
        const HRESULT whileAlive = AskCanUnloadNow();
        Check(whileAlive == S_FALSE, "DllCanUnloadNow refuses while the object lives", whileAlive);
        if (port != nullptr) UseTheLine(driver, port, station);
        const ULONG left = driver->lpVtbl->Release(driver);
        Check(left == 0, "the release destroys the object", static_cast<long>(left));
        const HRESULT released = AskCanUnloadNow();
        Check(released == S_OK, "DllCanUnloadNow allows the unload once it is released", released);
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
