// Loading the driver module on Linux: dlopen by path, the exports found by dlsym.
#include <dlfcn.h>
#include <unistd.h>

#include <climits>

#include <qm4720_build_info.h>

#include "host/client/module_loader.h"

namespace host {
namespace {

class DlModule : public LoadedModule {
public:
    explicit DlModule(void* handle) : handle_(handle) {}
    ~DlModule() override { dlclose(handle_); }
    DlModule(const DlModule&) = delete;
    DlModule& operator=(const DlModule&) = delete;

    GetClassObjectEntry GetClassObject() const override {
        return reinterpret_cast<GetClassObjectEntry>(dlsym(handle_, "DllGetClassObject"));
    }
    ModuleEntry CanUnloadNow() const override {
        return reinterpret_cast<ModuleEntry>(dlsym(handle_, "DllCanUnloadNow"));
    }
    ModuleEntry RegisterServer() const override {
        return reinterpret_cast<ModuleEntry>(dlsym(handle_, "DllRegisterServer"));
    }

private:
    void* handle_;
};

}  // namespace

std::unique_ptr<LoadedModule> LoadDriverModule(const std::string& path, std::string& error) {
    // A path without a slash would be searched for; the module is always loaded by path.
    const std::string byPath = path.find('/') == std::string::npos ? "./" + path : path;
    void* handle = dlopen(byPath.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* reason = dlerror();
        error = reason != nullptr ? reason : "cannot load " + path;
        return nullptr;
    }
    auto module = std::make_unique<DlModule>(handle);
    if (module->GetClassObject() == nullptr) {
        error = path + " does not export DllGetClassObject";
        return nullptr;
    }
    return module;
}

// Beside the program in the build tree; <prefix>/lib/qm4720/ from <prefix>/bin/ when installed.
// When neither is there, the path beside the program, which the error message then names.
std::string DefaultModulePath() {
    const std::string beside = ProgramDirectory() + "qm4720.so";
    if (access(beside.c_str(), F_OK) == 0) return beside;
    const std::string installed =
        ProgramDirectory() + QM4720_MODULE_DIR_FROM_PROGRAM + "/qm4720.so";
    return access(installed.c_str(), F_OK) == 0 ? installed : beside;
}

std::string ProgramDirectory() {
    char self[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return "./";
    std::string path(self, static_cast<std::size_t>(n));
    path.resize(path.rfind('/') + 1);
    return path;
}

}  // namespace host
