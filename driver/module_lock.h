// The module lock: the count of live driver objects plus the host's outstanding LockServer
// locks. While it is above zero the module tells the platform that it cannot be unloaded.
#pragma once

#include <cstdint>

namespace driver {

void LockModule();
void UnlockModule();
std::int32_t ModuleLockCount();

}  // namespace driver
