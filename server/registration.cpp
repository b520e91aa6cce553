// Self-registration: the entries under the class root through which the platform finds this
// module by its programmatic identifier or its class identifier.
#include <array>
#include <cstdio>
#include <string>
#include <string_view>

#include "platform/registry.h"
#include "server/class_factory.h"

namespace server {
namespace {

// Entry templates. Placeholders: %1 the class identifier in registry text form, %2 the
// programmatic identifier, %3 the module's path, %5 the long type name.
struct EntryTemplate {
    std::string_view key;
    std::string_view value;
    bool onlyIfAbsent;  // a key that exists (perhaps edited by hand) is left alone
};

constexpr std::array<EntryTemplate, 5> kEntries = {{
    {"%2", "%5", true},
    {"CLSID\\%1", "%5", true},
    {"%2\\CLSID", "%1", false},
    {"CLSID\\%1\\ProgID", "%2", false},
    {"CLSID\\%1\\InProcServer32", "%3", false},
}};

struct Symbols {
    std::string classId;     // %1
    std::string progId;      // %2
    std::string modulePath;  // %3
    std::string typeName;    // %5
};

// Any byte of this module: its address tells the platform which module file to name.
constinit const char kModuleAnchor = 0;

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper-case hexadecimal, as the registry spells it.
std::string ClassIdText(const CLSID& id) {
    char text[39];
    std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned>(id.Data1), static_cast<unsigned>(id.Data2),
                  static_cast<unsigned>(id.Data3), id.Data4[0], id.Data4[1], id.Data4[2],
                  id.Data4[3], id.Data4[4], id.Data4[5], id.Data4[6], id.Data4[7]);
    return text;
}

std::string Expand(std::string_view pattern, const Symbols& symbols) {
    std::string text;
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] == '%' && i + 1 < pattern.size()) {
            const std::string* symbol = nullptr;
            switch (pattern[i + 1]) {
                case '1':
                    symbol = &symbols.classId;
                    break;
                case '2':
                    symbol = &symbols.progId;
                    break;
                case '3':
                    symbol = &symbols.modulePath;
                    break;
                case '5':
                    symbol = &symbols.typeName;
                    break;
                default:
                    break;
            }
            if (symbol != nullptr) {
                text += *symbol;
                ++i;
                continue;
            }
        }
        text += pattern[i];
    }
    return text;
}

}  // namespace

bool UpdateRegistry(const COleObjectFactory& factory) {
    Symbols symbols;
    symbols.classId = ClassIdText(factory.m_clsid);
    symbols.progId = factory.m_lpszProgID != nullptr ? factory.m_lpszProgID : "";
    symbols.typeName = symbols.progId;
    // Without its own path the module cannot be found: write nothing rather than a wrong entry.
    if (!platform::ModuleFilePath(&kModuleAnchor, symbols.modulePath)) return false;

    for (const EntryTemplate& entry : kEntries) {
        const std::string key = Expand(entry.key, symbols);
        if (key.empty()) continue;
        if (entry.onlyIfAbsent) {
            std::string existing;
            if (platform::ReadClassRootValue(key, existing) == platform::KeyRead::found) continue;
        }
        // The entries after one that cannot be written are not written either.
        if (!platform::WriteClassRootValue(key, Expand(entry.value, symbols))) return false;
    }
    return true;
}

}  // namespace server
