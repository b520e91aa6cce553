// The module's self-registration through the public C++ interface: loaded by its file only for
// this, so that no driver object is made and nothing stays loaded.
#include <cstdio>
#include <string>

#include "host/client/module_loader.h"
#include "qm4720/qm4720.hpp"

namespace qm4720 {

ModuleRegistration Driver::RegisterModule(const std::string& modulePath) {
    ModuleRegistration result;
    // The module's path is handed to the system as a C string.
    if (modulePath.find('\0') != std::string::npos) {
        result.modulePath = modulePath;
        result.error = Error{ErrorCode::kUsage, "module path: the text has a NUL character in it"};
        return result;
    }
    std::string error;
    result.modulePath = modulePath.empty() ? host::DefaultModulePath(error) : modulePath;
    if (result.modulePath.empty()) {
        result.error = Error{ErrorCode::kModule, "cannot load the driver: " + error};
        return result;
    }
    const auto module = host::LoadDriverModule(result.modulePath, error);
    if (module == nullptr || module->RegisterServer() == nullptr) {
        result.error =
            Error{ErrorCode::kModule, "cannot load " + result.modulePath + ": " +
                                          (error.empty() ? "no DllRegisterServer" : error)};
        return result;
    }
    const HRESULT status = module->RegisterServer()();
    if (status != host::kStatusOk) {
        char code[16];
        std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(status));
        result.error = Error{ErrorCode::kOther, std::string("registration failed with status ") +
                                                    code + " (the registry could not be written)"};
    }
    return result;
}

}  // namespace qm4720
