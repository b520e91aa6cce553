// Linked into the module only: runs the module's start-up step when the dynamic loader loads the
// shared object into a process (at dlopen, before dlopen returns).
#include "platform/module_entry.h"

namespace {

__attribute__((constructor)) void RunStartUpStep() {
    platform::OnModuleLoad();
}

}  // namespace
