// The class root of the component registry: where self-registration writes its entries and where
// a host finds a module by its programmatic identifier. On Windows this is HKEY_CLASSES_ROOT. On
// Linux it is one text file of keys and default values (see platform/posix/registry.cpp), chosen
// by the environment variable QM4720_REGISTRY, else $XDG_DATA_HOME/qm4720/registry, else
// ~/.local/share/qm4720/registry.
//
// Keys are paths whose levels are separated by a backslash ("CLSID\{...}\ProgID") and compare
// without regard to the case of ASCII letters. Only default (unnamed) text values exist here.
// The module writes here when it registers itself; hosts read here to find it
// (host::ResolveProgId in host/client/prog_id.cpp).
#pragma once

#include <string>
#include <string_view>

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

}  // namespace platform
