// Self-registration on Linux, through the loaded module's DllRegisterServer, into a registry file
// placed by QM4720_REGISTRY (or the XDG fallbacks) in a fresh folder per test.
#include <dlfcn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "driver/identifiers.h"
#include "driver/interfaces.h"
#include "host/client/activation.h"
#include "platform/registry.h"
#include "tests/host_cases/module_exports.h"
#include "tests/support/file_text.h"

namespace {

namespace fs = std::filesystem;
using module_cases::Exports;
using Entries = std::vector<std::pair<std::string, std::string>>;

constexpr const char* kClassIdText = "{352E65A1-594C-4A27-8B35-1293DABC8843}";

using test_support::ReadFile;
using test_support::WriteFile;

// The entry lines of a registry file ("key<TAB>value"), in file order.
Entries EntriesOf(const std::string& content) {
    Entries entries;
    std::istringstream lines(content);
    for (std::string line; std::getline(lines, line);) {
        if (line.empty() || line[0] == '#') continue;
        const std::size_t tab = line.find('\t');
        if (tab == std::string::npos) continue;
        entries.emplace_back(line.substr(0, tab), line.substr(tab + 1));
    }
    return entries;
}

std::string ModuleRealPath() {
    char full[PATH_MAX];
    return realpath(QM_MODULE_PATH, full) != nullptr ? std::string(full) : std::string();
}

// The five entries as a first registration writes them, in their order.
Entries ExpectedEntries() {
    const std::string classKey = std::string("CLSID\\") + kClassIdText;
    return {
        {"QM4720.QM4720Pro", "QM4720.QM4720Pro"},
        {classKey, "QM4720.QM4720Pro"},
        {"QM4720.QM4720Pro\\CLSID", kClassIdText},
        {classKey + "\\ProgID", "QM4720.QM4720Pro"},
        {classKey + "\\InProcServer32", ModuleRealPath()},
    };
}

std::vector<std::string> NamesIn(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& item : fs::directory_iterator(folder)) {
        names.push_back(item.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

class Registration : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(Exports().registerServer, nullptr);
        for (const char* name : {"QM4720_REGISTRY", "XDG_DATA_HOME", "HOME"}) {
            const char* value = std::getenv(name);
            saved_.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
        }
        std::string pattern = (fs::temp_directory_path() / "qm4720-registry-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        folder_ = pattern;
        registry_ = folder_ / "data" / "registry";
        setenv("QM4720_REGISTRY", registry_.c_str(), 1);
    }
    void TearDown() override {
        for (const auto& [name, value] : saved_) {
            if (value) {
                setenv(name.c_str(), value->c_str(), 1);
            } else {
                unsetenv(name.c_str());
            }
        }
        std::error_code ignored;
        fs::remove_all(folder_, ignored);
    }

    static HRESULT Register() { return Exports().registerServer(); }

    fs::path folder_;
    fs::path registry_;
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

TEST_F(Registration, WritesTheFiveEntriesInOrderWithNoOtherValue) {
    ASSERT_FALSE(ModuleRealPath().empty());
    ASSERT_EQ(Register(), S_OK);
    EXPECT_EQ(EntriesOf(ReadFile(registry_)), ExpectedEntries());
    // Nothing but the registry and its lock file: no temporary file is left behind.
    EXPECT_EQ(NamesIn(registry_.parent_path()),
              (std::vector<std::string>{"registry", "registry.lock"}));
}

TEST_F(Registration, FindsItsFileThroughTheEnvironmentInOrderOfPrecedence) {
    struct Case {
        const char* what;
        bool registryVariable;
        std::optional<std::string> xdgDataHome;  // relative to the test folder when not absolute
        fs::path expected;                       // relative to the test folder
    };
    const Case cases[] = {
        {"QM4720_REGISTRY first", true, "xdg", "data/registry"},
        {"then $XDG_DATA_HOME", false, "xdg", "xdg/qm4720/registry"},
        {"then ~/.local/share", false, std::nullopt, "home/.local/share/qm4720/registry"},
        {"a relative $XDG_DATA_HOME is ignored", false, "relative",
         "home/.local/share/qm4720/registry"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::error_code ignored;
        fs::remove_all(folder_ / "data", ignored);
        fs::remove_all(folder_ / "xdg", ignored);
        fs::remove_all(folder_ / "home", ignored);
        if (!c.registryVariable) unsetenv("QM4720_REGISTRY");
        if (!c.xdgDataHome) {
            unsetenv("XDG_DATA_HOME");
        } else if (*c.xdgDataHome == "relative") {
            setenv("XDG_DATA_HOME", "relative/data", 1);
        } else {
            setenv("XDG_DATA_HOME", (folder_ / *c.xdgDataHome).c_str(), 1);
        }
        setenv("HOME", (folder_ / "home").c_str(), 1);

        ASSERT_EQ(Register(), S_OK);
        EXPECT_EQ(EntriesOf(ReadFile(folder_ / c.expected)), ExpectedEntries());
    }
}

TEST_F(Registration, SecondRegistrationKeepsHandEditedEntriesOneAndTwo) {
    ASSERT_EQ(Register(), S_OK);
    const std::string classKey = std::string("CLSID\\") + kClassIdText;
    // By hand: entries 1 and 2 get other values, entry 3 goes, entry 5 points elsewhere.
    WriteFile(registry_,
              "# edited by hand\n"
              "QM4720.QM4720Pro\tMeter driver (site copy)\n"
              "unrelated line\n" +
                  classKey + "\tEdited class name\n" + classKey + "\\ProgID\tQM4720.QM4720Pro\n" +
                  classKey + "\\InProcServer32\t/opt/old/qm4720.so\n");
    ASSERT_EQ(Register(), S_OK);

    const std::string content = ReadFile(registry_);
    const Entries expected = {
        {"QM4720.QM4720Pro", "Meter driver (site copy)"},
        {classKey, "Edited class name"},
        {classKey + "\\ProgID", "QM4720.QM4720Pro"},
        {classKey + "\\InProcServer32", ModuleRealPath()},
        {"QM4720.QM4720Pro\\CLSID", kClassIdText},
    };
    EXPECT_EQ(EntriesOf(content), expected);
    EXPECT_NE(content.find("# edited by hand\n"), std::string::npos);
    EXPECT_NE(content.find("\nunrelated line\n"), std::string::npos);
}

TEST_F(Registration, UnwritableRegistryReportsTheFailureAndWritesNothing) {
    // A path below a regular file cannot be created, whoever asks.
    const fs::path plain = folder_ / "plain";
    WriteFile(plain, "not a folder\n");
    setenv("QM4720_REGISTRY", (plain / "registry").c_str(), 1);
    EXPECT_EQ(Register(), SELFREG_E_CLASS);
    EXPECT_EQ(NamesIn(folder_), std::vector<std::string>{"plain"});
    EXPECT_EQ(ReadFile(plain), "not a folder\n");
}

TEST_F(Registration, RegistryPathThatIsAFolderReportsTheFailureAndLeavesNoTemporaryFile) {
    const fs::path registry = folder_ / "registry";
    fs::create_directory(registry);
    setenv("QM4720_REGISTRY", registry.c_str(), 1);
    EXPECT_EQ(Register(), SELFREG_E_CLASS);
    EXPECT_TRUE(fs::is_directory(registry));
    EXPECT_TRUE(fs::is_empty(registry));
    EXPECT_EQ(NamesIn(folder_), (std::vector<std::string>{"registry", "registry.lock"}));
}

TEST_F(Registration, ConcurrentRegistrationsLeaveOneCompleteFile) {
    constexpr int kProcesses = 4;
    constexpr int kRounds = 25;
    std::vector<pid_t> children;
    for (int p = 0; p < kProcesses; ++p) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            int failures = 0;
            for (int round = 0; round < kRounds; ++round) failures += Register() != S_OK;
            _exit(failures == 0 ? 0 : 1);
        }
        children.push_back(pid);
    }
    for (const pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a registration failed";
    }
    EXPECT_EQ(EntriesOf(ReadFile(registry_)), ExpectedEntries());
    EXPECT_EQ(NamesIn(registry_.parent_path()),
              (std::vector<std::string>{"registry", "registry.lock"}));
}

TEST_F(Registration, HostFindsTheModuleByItsProgrammaticIdentifier) {
    std::string path = "untouched";
    std::string classId;
    EXPECT_FALSE(host::ResolveProgId(kProgId, path));
    EXPECT_EQ(path, "untouched");

    ASSERT_EQ(Register(), S_OK);
    for (const char* progId : {"QM4720.QM4720Pro", "qm4720.qm4720pro"}) {
        SCOPED_TRACE(progId);
        ASSERT_TRUE(host::ResolveProgId(progId, path, &classId));
        EXPECT_EQ(path, ModuleRealPath());
        EXPECT_EQ(classId, kClassIdText);
    }
    EXPECT_FALSE(host::ResolveProgId("QM4720.Other", path));

    // The path that the registry gives is the module the host loads and asks for its class.
    void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(module, nullptr) << dlerror();
    auto getClassObject = reinterpret_cast<decltype(module_cases::ModuleExports::getClassObject)>(
        dlsym(module, "DllGetClassObject"));
    ASSERT_NE(getClassObject, nullptr);
    void* factory = nullptr;
    ASSERT_EQ(getClassObject(kClsidVer4720Ezo, IID_IUnknown, &factory), S_OK);
    auto* unknown = static_cast<ClassFactory*>(factory);
    EXPECT_EQ(unknown->lpVtbl->Release(unknown), 1u);
    dlclose(module);
}

}  // namespace
