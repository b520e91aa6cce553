// The start-up step of the module. The module itself (server/) defines it; the platform's load
// hook (platform/<os>/module/, linked into the module only) calls it once when the operating
// system loads the module into a process: a load-time constructor on Linux, DllMain's process
// attach on Windows.
#pragma once

namespace platform {

// Runs once per load, before any exported entry point can be called. Returns false when the
// module cannot serve; the load goes on all the same.
bool OnModuleLoad();

}  // namespace platform
