// The class root of the component registry: where self-registration writes its entries and where
// a host finds a module by its programmatic identifier. On Windows this is HKEY_CLASSES_ROOT. On
// Linux it is one text file of keys and default values (see platform/posix/registry.cpp), chosen
// by the environment variable QM4720_REGISTRY, else $XDG_DATA_HOME/qm4720/registry, else
// ~/.local/share/qm4720/registry.
//
// Keys are paths whose levels are separated by a backslash ("CLSID\{...}\ProgID") and compare
// without regard to the case of ASCII letters. Only default (unnamed) text values exist here.
// This header is for the module and for host programs and tools alike.
#pragma once

#include <string>
#include <string_view>
#include <utility>

#include "platform/platform.h"

namespace platform {

// What a read of a key's default value found.
enum class KeyRead {
    found,    // the key exists; `value` holds its default value ("" when it has none)
    missing,  // no such key
    failed,   // the registry could not be read
};

// Reads the default value of `key` under the class root.
KeyRead ReadClassRootValue(std::string_view key, std::string& value);

// Sets the default value of `key` under the class root, creating the key and any missing keys
// above it. The change is complete or absent: never half written. False when it cannot be made.
bool WriteClassRootValue(std::string_view key, std::string_view value);

// The full path of the module file (shared object or DLL) that holds `addressInModule`: its short
// (8.3) form where the file system gives one, else its long form. False when it cannot be found.
bool ModuleFilePath(const void* addressInModule, std::string& path);

// Resolves a programmatic identifier the way the component platform does: the identifier's
// "CLSID" key gives the class identifier text, and that class's "InProcServer32" key gives the
// path of the module that serves it. Stores the path and returns true when both keys are present
// and non-empty; `classId`, when not null, receives the class identifier text.
inline bool ResolveProgId(std::string_view progId, std::string& modulePath,
                          std::string* classId = nullptr) {
    std::string clsid;
    if (progId.empty() ||
        ReadClassRootValue(std::string(progId) + "\\CLSID", clsid) != KeyRead::found ||
        clsid.empty()) {
        return false;
    }
    std::string path;
    if (ReadClassRootValue("CLSID\\" + clsid + "\\InProcServer32", path) != KeyRead::found ||
        path.empty()) {
        return false;
    }
    modulePath = std::move(path);
    if (classId != nullptr) *classId = std::move(clsid);
    return true;
}

}  // namespace platform
