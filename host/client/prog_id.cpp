// Finding the module of a programmatic identifier in the class root, on either system: the keys
// are those that the module's self-registration writes.
#include <utility>

#include "host/client/activation.h"
#include "platform/registry.h"

namespace host {

bool ResolveProgId(std::string_view progId, std::string& modulePath, std::string* classId) {
    std::string clsid;
    if (progId.empty() ||
        platform::ReadClassRootValue(std::string(progId) + "\\CLSID", clsid) !=
            platform::KeyRead::found ||
        clsid.empty()) {
        return false;
    }
    std::string path;
    if (platform::ReadClassRootValue("CLSID\\" + clsid + "\\InProcServer32", path) !=
            platform::KeyRead::found ||
        path.empty()) {
        return false;
    }
    modulePath = std::move(path);
    if (classId != nullptr) *classId = std::move(clsid);
    return true;
}

}  // namespace host
