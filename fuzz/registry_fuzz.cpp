// The Linux registry file's reader and writer over an arbitrary file: whatever the file holds
// (truncated lines, garbage, no final line feed, NUL bytes), a read does not crash, and the next
// registration leaves a file that reads back the value just written and ends with a line feed.
//
// Input: key length, key, value length, value, then the file's bytes.
#include <fuzzer/FuzzedDataProvider.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz/fuzz_check.h"
#include "platform/registry.h"

namespace {

// The registry file of this run, and its lock file, removed when the run ends.
char g_lockPath[256];

std::string RegistryFile() {
    static const std::string path = [] {
        const char* folder = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        std::string p = std::string(folder) + "/qm4720-registry-fuzz-" + std::to_string(getpid());
        setenv("QM4720_REGISTRY", p.c_str(), 1);
        std::snprintf(g_lockPath, sizeof g_lockPath, "%s.lock", p.c_str());
        std::atexit([] { ::unlink(g_lockPath); });
        return p;
    }();
    return path;
}

void WriteFile(const std::string& path, const std::string& content) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    FUZZ_CHECK(fd >= 0);
    FUZZ_CHECK(::write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size()));
    ::close(fd);
}

std::string ReadFile(const std::string& path) {
    std::string content;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    FUZZ_CHECK(fd >= 0);
    char buffer[4096];
    ssize_t got;
    while ((got = ::read(fd, buffer, sizeof buffer)) > 0)
        content.append(buffer, static_cast<std::size_t>(got));
    ::close(fd);
    return content;
}

bool Storable(const std::string& key, const std::string& value) {
    return !key.empty() && key.front() != '#' &&
           key.find_first_of(std::string("\t\r\n\0", 4)) == std::string::npos &&
           value.find_first_of(std::string("\r\n\0", 3)) == std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const std::string key = input.ConsumeRandomLengthString(40);
    const std::string value = input.ConsumeRandomLengthString(40);
    const std::string file = input.ConsumeRemainingBytesAsString();
    const std::string path = RegistryFile();
    WriteFile(path, file);

    std::string found = "untouched";
    const platform::KeyRead read = platform::ReadClassRootValue(key, found);
    FUZZ_CHECK(read == platform::KeyRead::found || read == platform::KeyRead::missing);
    if (read == platform::KeyRead::missing) FUZZ_CHECK(found == "untouched");

    const bool written = platform::WriteClassRootValue(key, value);
    FUZZ_CHECK(written == Storable(key, value));
    if (written) {
        std::string back;
        FUZZ_CHECK(platform::ReadClassRootValue(key, back) == platform::KeyRead::found);
        FUZZ_CHECK(back == value);
        const std::string repaired = ReadFile(path);
        FUZZ_CHECK(!repaired.empty() && repaired.back() == '\n');
    }
    ::unlink(path.c_str());
    return 0;
}
