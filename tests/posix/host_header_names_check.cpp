// Checked by compiling this file: a Linux host that includes the driver's interfaces gets the
// component platform's base types and nothing of the serial port calls. Each definition below
// clashes with a name of platform/serial_calls.h, so the build fails should the host's headers
// ever pull those calls in again.
#include "driver/identifiers.h"
#include "driver/interfaces.h"

namespace host_header_names_check {
// The base types are there.
static_assert(sizeof(HANDLE) == 4 && sizeof(DWORD) == 4 && sizeof(HRESULT) == 4);
}  // namespace host_header_names_check

[[maybe_unused]] constexpr int CreateFileA = 0;
[[maybe_unused]] constexpr int ReadFile = 0;
[[maybe_unused]] constexpr int TRUE = 1;
[[maybe_unused]] constexpr int ERROR_INVALID_HANDLE = 6;
struct DCB {
    int unrelated;
};
