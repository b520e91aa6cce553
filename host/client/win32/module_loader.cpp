// Loading the driver module on Windows: LoadLibrary by path and the exports by their plain names
// (the module's .def file strips the __stdcall decoration).
#include "host/client/module_loader.h"

namespace host {
namespace {

class DllModule : public LoadedModule {
public:
    explicit DllModule(HMODULE module) : module_(module) {}
    ~DllModule() override { FreeLibrary(module_); }
    DllModule(const DllModule&) = delete;
    DllModule& operator=(const DllModule&) = delete;

    GetClassObjectEntry GetClassObject() const override {
        return reinterpret_cast<GetClassObjectEntry>(
            reinterpret_cast<void*>(GetProcAddress(module_, "DllGetClassObject")));
    }
    ModuleEntry CanUnloadNow() const override {
        return reinterpret_cast<ModuleEntry>(
            reinterpret_cast<void*>(GetProcAddress(module_, "DllCanUnloadNow")));
    }
    ModuleEntry RegisterServer() const override {
        return reinterpret_cast<ModuleEntry>(
            reinterpret_cast<void*>(GetProcAddress(module_, "DllRegisterServer")));
    }

private:
    HMODULE module_;
};

}  // namespace

std::unique_ptr<LoadedModule> LoadDriverModule(const std::string& path, std::string& error) {
    HMODULE module = LoadLibraryA(path.c_str());
    if (module == nullptr) {
        error = "cannot load " + path + " (error " + std::to_string(GetLastError()) + ")";
        return nullptr;
    }
    auto loaded = std::make_unique<DllModule>(module);
    if (loaded->GetClassObject() == nullptr) {
        error = path + " does not export DllGetClassObject";
        return nullptr;
    }
    return loaded;
}

// Windows keeps the module beside the programs, installed or not.
std::vector<std::string> DefaultModuleCandidates() {
    return {ProgramDirectory() + "qm4720.dll"};
}

std::string ProgramDirectory() {
    char self[MAX_PATH];
    const DWORD n = GetModuleFileNameA(nullptr, self, MAX_PATH);
    std::string path(self, n);
    path.resize(path.find_last_of("\\/") + 1);
    return path;
}

}  // namespace host
