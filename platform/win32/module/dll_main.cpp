// Linked into the module only: the module's entry point, which runs the start-up step when the
// loader attaches the DLL to a process. The C runtime has constructed the module's static
// objects by then.
#include "platform/module_entry.h"
#include "platform/platform.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        // The module does nothing per thread.
        DisableThreadLibraryCalls(instance);
        platform::OnModuleLoad();
    }
    return TRUE;
}
