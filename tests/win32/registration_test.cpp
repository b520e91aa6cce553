// Self-registration on Windows, through the loaded module's DllRegisterServer, checked with the
// registry calls a host's installer would use.
#include <gtest/gtest.h>

#include <cctype>
#include <string>

#include "driver/identifiers.h"
#include "host/client/activation.h"
#include "platform/registry.h"
#include "tests/host_cases/module_exports.h"

namespace {

using module_cases::Exports;

constexpr const char* kClassKey = "CLSID\\{352E65A1-594C-4A27-8B35-1293DABC8843}";
constexpr const char* kClassIdText = "{352E65A1-594C-4A27-8B35-1293DABC8843}";

// The default value of a key under HKEY_CLASSES_ROOT, or "<missing>".
std::string Query(const std::string& key) {
    char value[1024] = {};
    LONG size = sizeof value;
    if (RegQueryValueA(HKEY_CLASSES_ROOT, key.c_str(), value, &size) != ERROR_SUCCESS) {
        return "<missing>";
    }
    return value;
}

void Set(const std::string& key, const std::string& value) {
    ASSERT_EQ(RegSetValueA(HKEY_CLASSES_ROOT, key.c_str(), REG_SZ, value.c_str(),
                           static_cast<DWORD>(value.size())),
              ERROR_SUCCESS);
}

// The long form of a path, upper-cased: Wine's short names are hashed, so compare long forms.
std::string LongForm(const std::string& path) {
    char full[MAX_PATH * 4] = {};
    const DWORD length = GetLongPathNameA(path.c_str(), full, sizeof full);
    std::string text = length > 0 && length < sizeof full ? std::string(full, length) : path;
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

std::string LoadedModulePath() {
    char name[MAX_PATH * 4] = {};
    const DWORD length = GetModuleFileNameA(GetModuleHandleA("qm4720.dll"), name, sizeof name);
    return std::string(name, length);
}

class Registration : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NE(Exports().registerServer, nullptr); }
};

TEST_F(Registration, WritesTheFiveEntriesAndNoThreadingModel) {
    ASSERT_EQ(Exports().registerServer(), S_OK);
    EXPECT_EQ(Query("QM4720.QM4720Pro"), "QM4720.QM4720Pro");
    EXPECT_EQ(Query(kClassKey), "QM4720.QM4720Pro");
    EXPECT_EQ(Query("QM4720.QM4720Pro\\CLSID"), kClassIdText);
    EXPECT_EQ(Query(std::string(kClassKey) + "\\ProgID"), "QM4720.QM4720Pro");

    const std::string server = Query(std::string(kClassKey) + "\\InProcServer32");
    ASSERT_NE(server, "<missing>");
    ASSERT_FALSE(LoadedModulePath().empty());
    EXPECT_EQ(LongForm(server), LongForm(LoadedModulePath())) << server;

    // No named value: without a threading model the class lives in the main apartment.
    HKEY key = nullptr;
    ASSERT_EQ(
        RegOpenKeyExA(HKEY_CLASSES_ROOT, (std::string(kClassKey) + "\\InProcServer32").c_str(), 0,
                      KEY_QUERY_VALUE, &key),
        ERROR_SUCCESS);
    DWORD values = 99;
    EXPECT_EQ(RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values,
                               nullptr, nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(values, 1u) << "only the default value";
    EXPECT_EQ(RegQueryValueExA(key, "ThreadingModel", nullptr, nullptr, nullptr, nullptr),
              ERROR_FILE_NOT_FOUND);
    RegCloseKey(key);

    // The platform layer's look-up, as a host tool would use it, finds the same module.
    std::string path;
    std::string classId;
    ASSERT_TRUE(host::ResolveProgId(kProgId, path, &classId));
    EXPECT_EQ(classId, kClassIdText);
    EXPECT_EQ(LongForm(path), LongForm(LoadedModulePath()));
}

TEST_F(Registration, SecondRegistrationKeepsHandEditedEntriesOneAndTwo) {
    ASSERT_EQ(Exports().registerServer(), S_OK);
    Set("QM4720.QM4720Pro", "Meter driver (site copy)");
    Set(kClassKey, "Edited class name");
    Set(std::string(kClassKey) + "\\ProgID", "Somebody.Else");
    Set("QM4720.QM4720Pro\\CLSID", "{00000000-0000-0000-0000-000000000000}");

    EXPECT_EQ(Exports().registerServer(), S_OK);
    EXPECT_EQ(Query("QM4720.QM4720Pro"), "Meter driver (site copy)");
    EXPECT_EQ(Query(kClassKey), "Edited class name");
    EXPECT_EQ(Query(std::string(kClassKey) + "\\ProgID"), "QM4720.QM4720Pro");
    EXPECT_EQ(Query("QM4720.QM4720Pro\\CLSID"), kClassIdText);

    // Leave the prefix as a first registration would.
    Set("QM4720.QM4720Pro", "QM4720.QM4720Pro");
    Set(kClassKey, "QM4720.QM4720Pro");
}

}  // namespace
