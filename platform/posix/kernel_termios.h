// The kernel's terminal settings record with explicit rates, and the requests that read and write
// it. glibc has no call for an arbitrary rate, and the kernel header that declares this record
// clashes with <termios.h>, so it is declared here with the kernel's layout.
#pragma once

#include <cstdint>

#include <sys/ioctl.h>
#include <termios.h>

namespace platform {

struct KernelTermios2 {
    tcflag_t c_iflag;
    tcflag_t c_oflag;
    tcflag_t c_cflag;
    tcflag_t c_lflag;
    cc_t c_line;
    cc_t c_cc[19];
    speed_t c_ispeed;
    speed_t c_ospeed;
};
static_assert(sizeof(KernelTermios2) == 44, "the kernel's struct termios2 is 44 bytes");

inline constexpr unsigned long kGetTermios2 = _IOR('T', 0x2A, KernelTermios2);
inline constexpr unsigned long kSetTermios2 = _IOW('T', 0x2B, KernelTermios2);

// The rate field value that makes the kernel take c_ospeed / c_ispeed as the rate itself, and
// the shift of the input rate field within c_cflag.
inline constexpr tcflag_t kRateInSpeedFields = CBAUDEX;
inline constexpr unsigned kInputRateShift = 16;

}  // namespace platform

struct DCB;

namespace platform {

// Makes `settings` a raw 8-bit line as a Windows port is when opened: bytes pass unchanged in
// both directions, nothing is echoed or edited, no character raises a signal or stops the
// output, no flow control of any kind, the parity check off, and the line receives whatever
// the carrier does. The character frame and the rate are left as they are.
void MakeRawLine(KernelTermios2& settings);

// Applies the settings of `dcb` to `settings` as SetCommState does: raw mode, one character at
// a time, rate, data bits, parity, stop bits and flow control. ERROR_SUCCESS, or
// ERROR_INVALID_PARAMETER for a value that a port cannot take (settings then unspecified).
std::uint32_t ApplyDcb(const DCB& dcb, KernelTermios2& settings);

// The device control block that describes `settings`, as GetCommState reports it.
void DcbFromSettings(const KernelTermios2& settings, DCB& dcb);

}  // namespace platform
