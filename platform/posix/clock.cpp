#include "platform/platform.h"

#include <atomic>
#include <cerrno>
#include <ctime>

namespace platform {
namespace {

std::atomic<std::uint32_t> g_tickOffset{0};

// Seconds from 1601-01-01 to 1970-01-01, the distance between the file-time and Unix epochs.
constexpr std::uint64_t kEpochDistanceSeconds = 11644473600ULL;

}  // namespace

std::uint32_t TickCount() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const auto ms = static_cast<std::uint64_t>(now.tv_sec) * 1000u +
                    static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
    return static_cast<std::uint32_t>(ms) + g_tickOffset.load(std::memory_order_relaxed);
}

void SetTickCountOffset(std::uint32_t offset) {
    g_tickOffset.store(offset, std::memory_order_relaxed);
}

void SleepMs(std::uint32_t milliseconds) {
    timespec left{static_cast<time_t>(milliseconds / 1000),
                  static_cast<long>(milliseconds % 1000) * 1000000L};
    // A signal delivered to the host must not shorten the protocol's pauses.
    while (nanosleep(&left, &left) == -1 && errno == EINTR) {
    }
}

FILETIME FileTimeNow() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    const std::uint64_t ticks =
        (static_cast<std::uint64_t>(now.tv_sec) + kEpochDistanceSeconds) * 10000000ULL +
        static_cast<std::uint64_t>(now.tv_nsec) / 100u;
    return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

}  // namespace platform
