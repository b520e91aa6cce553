// What the bench of qm4720d reads about a running process from /proc: its processor time and its
// resident memory.
#pragma once

#include <sys/types.h>

#include <cstdint>

namespace servicebench {

// User and system time of `pid` together, in seconds; negative when it cannot be read.
double ProcessorSeconds(pid_t pid);

// VmRSS of `pid` in KiB; negative when it cannot be read.
long ResidentKiB(pid_t pid);

}  // namespace servicebench
