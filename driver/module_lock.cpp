#include "driver/module_lock.h"

#include <atomic>

namespace driver {
namespace {
std::atomic<std::int32_t> g_moduleLock{0};
}

void LockModule() {
    ++g_moduleLock;
}

void UnlockModule() {
    --g_moduleLock;
}

std::int32_t ModuleLockCount() {
    return g_moduleLock.load();
}

}  // namespace driver
