// The translation between a port's device control block and the kernel's terminal settings.
#include <algorithm>
#include <iterator>

#include "platform/platform.h"
#include "platform/posix/kernel_termios.h"

namespace platform {
namespace {

// The line settings of the DCB's data bit counts (from 5) and parity codes (in code order).
constexpr BYTE kFewestDataBits = 5;
constexpr tcflag_t kDataBits[] = {CS5, CS6, CS7, CS8};
constexpr tcflag_t kParity[] = {
    0,                         // NOPARITY
    PARENB | PARODD,           // ODDPARITY
    PARENB,                    // EVENPARITY
    PARENB | CMSPAR | PARODD,  // MARKPARITY: the stick bit set
    PARENB | CMSPAR,           // SPACEPARITY: the stick bit clear
};

}  // namespace

void MakeRawLine(KernelTermios2& settings) {
    // A terminal comes up with the kernel's defaults for a login line: XON/XOFF on output
    // (a 0x13 from the instrument would stop our requests, and a reply whose block check is
    // 0x11 or 0x13 would lose that byte), CR to LF on input, NL to CR NL on output, echo, line
    // editing and signal characters. None of it belongs on an instrument line.
    settings.c_iflag &=
        ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IUCLC |
                               IXON | IXANY | IXOFF | IMAXBEL | IUTF8 | INPCK);
    settings.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    settings.c_lflag &=
        ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN | TOSTOP);
    // No hardware handshake; the port never hangs up on a dropped carrier, and receives.
    settings.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS | HUPCL);
    settings.c_cflag |= CLOCAL | CREAD;
    // With the descriptor non-blocking, a read returns at once with what is queued and 0 only
    // when the line is gone; VMIN 1 keeps the kernel from ever reporting "nothing" as 0 bytes.
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
}

std::uint32_t ApplyDcb(const DCB& dcb, KernelTermios2& settings) {
    if (dcb.ByteSize < kFewestDataBits || dcb.ByteSize >= kFewestDataBits + std::size(kDataBits)) {
        return ERROR_INVALID_PARAMETER;
    }
    if (dcb.Parity >= std::size(kParity)) return ERROR_INVALID_PARAMETER;
    const tcflag_t size = kDataBits[dcb.ByteSize - kFewestDataBits];
    const tcflag_t parity = kParity[dcb.Parity];
    if (dcb.StopBits != ONESTOPBIT && dcb.StopBits != TWOSTOPBITS) return ERROR_INVALID_PARAMETER;
    if (dcb.BaudRate == 0) return ERROR_INVALID_PARAMETER;

    MakeRawLine(settings);

    // Flow control and the parity check only as the block asks for them.
    const bool ctsFlow = dcb.fOutxCtsFlow != 0 || dcb.fRtsControl == RTS_CONTROL_HANDSHAKE;
    if (ctsFlow) settings.c_cflag |= CRTSCTS;
    if (dcb.fOutX) settings.c_iflag |= IXON;
    if (dcb.fInX) settings.c_iflag |= IXOFF;
    if (dcb.fParity) settings.c_iflag |= INPCK;
    settings.c_cc[VSTART] = static_cast<cc_t>(dcb.XonChar);
    settings.c_cc[VSTOP] = static_cast<cc_t>(dcb.XoffChar);

    // Character frame.
    settings.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB);
    settings.c_cflag |= size | parity | (dcb.StopBits == TWOSTOPBITS ? CSTOPB : 0);

    // The rate itself, in both directions, whether standard or not.
    settings.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << kInputRateShift));
    settings.c_cflag |= kRateInSpeedFields | (kRateInSpeedFields << kInputRateShift);
    settings.c_ospeed = dcb.BaudRate;
    settings.c_ispeed = dcb.BaudRate;
    return ERROR_SUCCESS;
}

void DcbFromSettings(const KernelTermios2& settings, DCB& dcb) {
    dcb = DCB{};
    dcb.DCBlength = sizeof(DCB);
    // The kernel keeps the rate itself in the speed fields, whether set by code or explicitly.
    dcb.BaudRate = settings.c_ospeed;
    dcb.fBinary = 1;
    dcb.fParity = (settings.c_iflag & INPCK) != 0;
    const bool ctsFlow = (settings.c_cflag & CRTSCTS) != 0;
    dcb.fOutxCtsFlow = ctsFlow;
    dcb.fRtsControl = ctsFlow ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fOutX = (settings.c_iflag & IXON) != 0;
    dcb.fInX = (settings.c_iflag & IXOFF) != 0;
    const auto* size =
        std::find(std::begin(kDataBits), std::end(kDataBits), settings.c_cflag & CSIZE);
    dcb.ByteSize = static_cast<BYTE>(kFewestDataBits + (size - std::begin(kDataBits)));
    const tcflag_t parity = settings.c_cflag & (PARENB | PARODD | CMSPAR);
    const auto* code = std::find(std::begin(kParity), std::end(kParity), parity);
    // Without PARENB the other two bits mean nothing: no parity.
    dcb.Parity =
        code == std::end(kParity) ? NOPARITY : static_cast<BYTE>(code - std::begin(kParity));
    dcb.StopBits = (settings.c_cflag & CSTOPB) != 0 ? TWOSTOPBITS : ONESTOPBIT;
    dcb.XonChar = static_cast<char>(settings.c_cc[VSTART]);
    dcb.XoffChar = static_cast<char>(settings.c_cc[VSTOP]);
}

}  // namespace platform
