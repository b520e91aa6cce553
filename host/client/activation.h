// Creating the driver object the way the component platform does: by programmatic identifier,
// through the class root of the registry (where the module records itself when registered) and
// the module's class factory.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include <qm4720/qm4720.h>

#include "host/client/module_loader.h"

namespace host {

// A component-platform session for the calling thread (initialised on Windows for activation
// by programmatic identifier; nothing to do on Linux). Ends when destroyed; create and destroy it
// on the thread that calls the driver.
class ComSession {
public:
    ComSession();
    ~ComSession();
    ComSession(const ComSession&) = delete;
    ComSession& operator=(const ComSession&) = delete;
};

// Creates an object of the class that `progId` names, through the platform's activation, and
// returns its interface `iid` with one reference that the caller releases. On Linux the identifier
// is resolved through the registry file (ResolveProgId) and the module is loaded and kept in
// `keepLoaded`, which must outlive the object. Returns null with `error` set on failure.
void* CreateByProgId(const std::string& progId, REFIID iid,
                     std::unique_ptr<LoadedModule>& keepLoaded, std::string& error);

// Resolves a programmatic identifier the way the component platform does: the identifier's
// "CLSID" key gives the class identifier text, and that class's "InProcServer32" key gives the
// path of the module that serves it. Stores the path and returns true when both keys are present
// and non-empty; `classId`, when not null, receives the class identifier text. Reads the registry
// only; loads nothing.
bool ResolveProgId(std::string_view progId, std::string& modulePath,
                   std::string* classId = nullptr);

}  // namespace host
