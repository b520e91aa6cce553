// The class root on Windows: HKEY_CLASSES_ROOT of the system registry.
#include "platform/registry.h"

#include <string>
#include <vector>

namespace platform {
namespace {

// Closes its key when it goes.
class Key {
public:
    Key() = default;
    ~Key() {
        if (key_ != nullptr) RegCloseKey(key_);
    }
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    HKEY* receive() { return &key_; }
    HKEY get() const { return key_; }

private:
    HKEY key_ = nullptr;
};

}  // namespace

KeyRead ReadClassRootValue(std::string_view key, std::string& value) {
    if (key.empty()) return KeyRead::missing;
    Key opened;
    const LONG status = RegOpenKeyExA(HKEY_CLASSES_ROOT, std::string(key).c_str(), 0,
                                      KEY_QUERY_VALUE, opened.receive());
    if (status == ERROR_FILE_NOT_FOUND) return KeyRead::missing;
    if (status != ERROR_SUCCESS) return KeyRead::failed;

    // The key exists. Its default value may be absent (then it reads as empty) or of any length:
    // ask for the size, then read, again if it grew in between.
    std::vector<char> data(256);
    for (;;) {
        DWORD type = 0;
        DWORD size = static_cast<DWORD>(data.size());
        const LONG read = RegQueryValueExA(opened.get(), nullptr, nullptr, &type,
                                           reinterpret_cast<BYTE*>(data.data()), &size);
        if (read == ERROR_FILE_NOT_FOUND) {
            value.clear();
            return KeyRead::found;
        }
        if (read == ERROR_MORE_DATA) {
            data.resize(static_cast<std::size_t>(size) + 1);
            continue;
        }
        if (read != ERROR_SUCCESS) return KeyRead::failed;
        if (type != REG_SZ && type != REG_EXPAND_SZ) size = 0;
        std::string text(data.data(), size);
        while (!text.empty() && text.back() == '\0') text.pop_back();
        value = std::move(text);
        return KeyRead::found;
    }
}

bool WriteClassRootValue(std::string_view key, std::string_view value) {
    if (key.empty() || value.find('\0') != std::string_view::npos) return false;
    Key created;
    if (RegCreateKeyExA(HKEY_CLASSES_ROOT, std::string(key).c_str(), 0, nullptr, 0, KEY_SET_VALUE,
                        nullptr, created.receive(), nullptr) != ERROR_SUCCESS) {
        return false;
    }
    const std::string text(value);
    return RegSetValueExA(created.get(), nullptr, 0, REG_SZ,
                          reinterpret_cast<const BYTE*>(text.c_str()),
                          static_cast<DWORD>(text.size() + 1)) == ERROR_SUCCESS;
}

bool ModuleFilePath(const void* addressInModule, std::string& path) {
    HMODULE module = nullptr;
    if (!GetModuleHandleExA(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            static_cast<LPCSTR>(addressInModule), &module)) {
        return false;
    }
    // Grow the buffer until the name fits: a full buffer means it was cut short.
    std::vector<char> name(MAX_PATH);
    DWORD length = 0;
    for (;;) {
        length = GetModuleFileNameA(module, name.data(), static_cast<DWORD>(name.size()));
        if (length == 0) return false;
        if (length < name.size()) break;
        if (name.size() >= 32768) return false;
        name.resize(name.size() * 2);
    }
    const std::string longPath(name.data(), length);

    // The short form where the file system gives one, else the long form.
    const DWORD needed = GetShortPathNameA(longPath.c_str(), nullptr, 0);
    if (needed != 0) {
        std::vector<char> shortPath(needed);
        const DWORD got = GetShortPathNameA(longPath.c_str(), shortPath.data(), needed);
        if (got != 0 && got < needed) {
            path.assign(shortPath.data(), got);
            return true;
        }
    }
    path = longPath;
    return true;
}

}  // namespace platform
