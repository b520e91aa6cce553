#include "service/core/service_log.h"

#include <unistd.h>

#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>

namespace service {
namespace {

std::mutex& LogMutex() {
    static std::mutex mutex;
    return mutex;
}

std::function<void(LogLevel, const std::string&)>& Sink() {
    static std::function<void(LogLevel, const std::string&)> sink;
    return sink;
}

// JOURNAL_STREAM is "DEVICE:INODE" of the stream systemd connected; it counts only while stderr
// is still that stream (a child may inherit the variable with stderr pointed elsewhere).
bool StderrIsJournal() {
    const char* stream = std::getenv("JOURNAL_STREAM");
    if (stream == nullptr) return false;
    unsigned long long device = 0, inode = 0;
    if (std::sscanf(stream, "%llu:%llu", &device, &inode) != 2) return false;
    struct stat st {};
    return fstat(STDERR_FILENO, &st) == 0 && st.st_dev == device && st.st_ino == inode;
}

std::string UtcNow() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000;
    std::tm tm{};
    gmtime_r(&seconds, &tm);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                  static_cast<int>(ms));
    return text;
}

}  // namespace

void Log(LogLevel level, const std::string& text) {
    static const bool journal = StderrIsJournal();
    std::lock_guard lock(LogMutex());
    if (Sink()) {
        Sink()(level, text);
        return;
    }
    if (journal) {
        std::fprintf(stderr, "<%d>%s\n", static_cast<int>(level), text.c_str());
    } else {
        std::fprintf(stderr, "%s qm4720d: %s\n", UtcNow().c_str(), text.c_str());
    }
    std::fflush(stderr);
}

void SetLogSink(std::function<void(LogLevel, const std::string&)> sink) {
    std::lock_guard lock(LogMutex());
    Sink() = std::move(sink);
}

}  // namespace service
