// Ctrl-C, SIGTERM and SIGHUP in qm4720ctl: long commands stop at their next step and report what
// they have.
#pragma once

#include <chrono>

namespace ctl {

// Makes Ctrl-C raise the program's stop signal instead of ending it; false when it cannot.
bool CatchInterrupt();

// True once Ctrl-C was pressed.
bool Interrupted();

// Waits until `until` unless Ctrl-C comes first; false when interrupted.
bool WaitUntil(std::chrono::steady_clock::time_point until);

}  // namespace ctl
