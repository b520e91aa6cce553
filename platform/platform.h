// The one header through which the shared code reaches the operating system. The build puts
// either platform/posix or platform/win32 on the include path; each supplies platform_native.h.
#pragma once

#include <cstdint>

#include <platform_native.h>

namespace platform {

// Milliseconds since an arbitrary start, as a 32-bit count that wraps round after ~49.7 days.
// Deadlines are measured with unsigned differences: uint32_t(now - start) > span.
std::uint32_t TickCount();

// Test seam: added to every TickCount() result, so a test can start the count just below the
// wrap. Zero in normal use.
void SetTickCountOffset(std::uint32_t offset);

// Blocks the calling thread for at least `milliseconds`.
void SleepMs(std::uint32_t milliseconds);

// The current time as a file time: 100-nanosecond units since 1601-01-01, UTC.
FILETIME FileTimeNow();

}  // namespace platform
