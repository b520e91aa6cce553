// Loading the driver module on Linux: dlopen by path, the exports found by dlsym.
#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <filesystem>

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

std::vector<std::string> DefaultModuleCandidates() {
    const std::filesystem::path program = ProgramDirectory();
    const std::filesystem::path places[] = {
        program / "qm4720.so",
        program / QM4720_MODULE_DIR_FROM_PROGRAM / "qm4720.so",
        std::filesystem::path(QM4720_INSTALLED_MODULE_DIR) / "qm4720.so",
    };
    std::vector<std::string> candidates;
    for (const std::filesystem::path& place : places) {
        std::string normal = place.lexically_normal().string();
        if (std::find(candidates.begin(), candidates.end(), normal) == candidates.end()) {
            candidates.push_back(std::move(normal));
        }
    }
    return candidates;
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
