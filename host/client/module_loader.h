// Loading the driver module by its file: the three exported entry points, found by name, and
// where a host that names no module finds one.
#pragma once

#include <memory>
#include <span>
#include <string>
#include <vector>

#include <qm4720/qm4720.h>

namespace host {

// The module's exported class-object entry point and its two other entry points.
using GetClassObjectEntry = QM4720GetClassObjectFn;
using ModuleEntry = HRESULT(QM4720_CALL*)();

// What the entry points, the class factory and the interfaces return on success (the platform's
// S_OK, which the public header does not declare outside Windows).
inline constexpr HRESULT kStatusOk = 0;

// A loaded driver module; unloaded when destroyed, so every object it made must be released
// first. The entry points are null when the module does not export them (GetClassObject never
// is: LoadDriverModule refuses such a module).
class LoadedModule {
public:
    virtual ~LoadedModule() = default;
    virtual GetClassObjectEntry GetClassObject() const = 0;
    virtual ModuleEntry CanUnloadNow() const = 0;
    virtual ModuleEntry RegisterServer() const = 0;
};

// Loads the module at `path` (always by path, never searched for) and finds its exports. Null
// with `error` set (the system's reason included) when it cannot be loaded or does not export
// DllGetClassObject.
std::unique_ptr<LoadedModule> LoadDriverModule(const std::string& path, std::string& error);

// Where a host that names no module looks for it, in this order: beside the running program (the
// build tree, Windows); in the module folder relative to it (Linux: <prefix>/bin/ to
// <libdir>/qm4720/, so a copy installed under any prefix uses its own); in the module folder of the
// prefix this library was built for, so that programs built elsewhere against the installed
// library find the installed module. Each place once, normalised.
std::vector<std::string> DefaultModuleCandidates();

// The first of `candidates` that is a file; "" with `error` naming every place looked at when
// none is.
std::string FirstExistingModule(std::span<const std::string> candidates, std::string& error);

// FirstExistingModule() of DefaultModuleCandidates(): the module a host that names none loads.
std::string DefaultModulePath(std::string& error);

// The folder of the running program, with a trailing separator.
std::string ProgramDirectory();

}  // namespace host
