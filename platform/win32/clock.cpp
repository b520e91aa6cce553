#include "platform/platform.h"

#include <atomic>

namespace platform {
namespace {
std::atomic<std::uint32_t> g_tickOffset{0};
}

std::uint32_t TickCount() {
    return static_cast<std::uint32_t>(GetTickCount()) +
           g_tickOffset.load(std::memory_order_relaxed);
}

void SetTickCountOffset(std::uint32_t offset) {
    g_tickOffset.store(offset, std::memory_order_relaxed);
}

void SleepMs(std::uint32_t milliseconds) {
    ::Sleep(milliseconds);
}

FILETIME FileTimeNow() {
    FILETIME now{};
    CoFileTimeNow(&now);
    return now;
}

}  // namespace platform
