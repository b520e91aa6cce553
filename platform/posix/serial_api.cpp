// The Windows serial port calls over the Linux terminal interface (see serial_api.h).
#include "platform/platform.h"
#include "platform/posix/kernel_termios.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <iterator>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

thread_local DWORD t_lastError = ERROR_SUCCESS;

BOOL Fail(DWORD code) {
    t_lastError = code;
    return FALSE;
}

BOOL FailErrno() {
    return Fail(platform::WindowsErrorFromErrno(errno));
}

bool IsOpenDescriptor(HANDLE file) {
    return file >= 0 && fcntl(file, F_GETFD) != -1;
}

// The write timeouts of each open port, as the Windows port keeps them with its handle: the
// kernel has no such setting. Indexed by descriptor; a descriptor beyond the table cannot take
// timeouts (SetCommTimeouts fails) and its writes wait until done, as with zero timeouts.
// Written by CreateFileA, SetCommTimeouts and CloseHandle; no lock is needed, since calls on
// one handle do not overlap and each entry belongs to one descriptor.
constexpr std::size_t kTrackedDescriptors = 1024;
struct WriteTimeouts {
    std::atomic<DWORD> multiplier{0};
    std::atomic<DWORD> constant{0};
};
std::array<WriteTimeouts, kTrackedDescriptors> g_writeTimeouts;

void ResetWriteTimeouts(HANDLE file) {
    if (file < 0 || static_cast<std::size_t>(file) >= kTrackedDescriptors) return;
    g_writeTimeouts[file].multiplier.store(0, std::memory_order_relaxed);
    g_writeTimeouts[file].constant.store(0, std::memory_order_relaxed);
}

// The total time a write of `bytes` may take, in milliseconds; -1 for no limit.
long long WriteDeadlineMs(HANDLE file, DWORD bytes) {
    if (file < 0 || static_cast<std::size_t>(file) >= kTrackedDescriptors) return -1;
    const auto multiplier = g_writeTimeouts[file].multiplier.load(std::memory_order_relaxed);
    const auto constant = g_writeTimeouts[file].constant.load(std::memory_order_relaxed);
    if (multiplier == 0 && constant == 0) return -1;
    return static_cast<long long>(multiplier) * bytes + constant;
}

// Bytes written but not yet sent; -1 when the port cannot tell.
int OutputQueued(HANDLE file) {
    int queued = 0;
    return ioctl(file, TIOCOUTQ, &queued) == -1 ? -1 : queued;
}

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

namespace platform {

DWORD WindowsErrorFromErrno(int error, bool atOpen) {
    switch (error) {
        case EBADF:
            return ERROR_INVALID_HANDLE;
        case ENOENT:
        case ENODEV:
            return ERROR_FILE_NOT_FOUND;
        case ENXIO:
            return atOpen ? ERROR_FILE_NOT_FOUND : ERROR_DEVICE_NOT_CONNECTED;
        case EIO:
            return ERROR_DEVICE_NOT_CONNECTED;
        case EACCES:
        case EPERM:
        case EBUSY:
        case EWOULDBLOCK:
            return ERROR_ACCESS_DENIED;
        case ENOTTY:
            return ERROR_INVALID_FUNCTION;
        case EINVAL:
            return ERROR_INVALID_PARAMETER;
        case EMFILE:
        case ENFILE:
            return ERROR_TOO_MANY_OPEN_FILES;
        case ENOMEM:
            return ERROR_NOT_ENOUGH_MEMORY;
        default:
            return ERROR_GEN_FAILURE;
    }
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

    // Raw, as a Windows port always is: bytes pass unchanged in both directions, nothing is
    // echoed or edited, no character raises a signal, and a break or parity error does not
    // insert marker bytes.
    settings.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                                               ICRNL | IUCLC | IXANY | IMAXBEL | IUTF8);
    settings.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    settings.c_lflag &=
        ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN | TOSTOP);
    // The port never hangs up on a dropped carrier, and receives.
    settings.c_cflag |= CLOCAL | CREAD;

    // Flow control and the parity check as the block gives them; the serial code hands back
    // what GetCommState read, so a port keeps its own.
    const bool ctsFlow = dcb.fOutxCtsFlow != 0 || dcb.fRtsControl == RTS_CONTROL_HANDSHAKE;
    settings.c_cflag = ctsFlow ? (settings.c_cflag | CRTSCTS) : (settings.c_cflag & ~CRTSCTS);
    settings.c_iflag = dcb.fOutX ? (settings.c_iflag | IXON) : (settings.c_iflag & ~IXON);
    settings.c_iflag = dcb.fInX ? (settings.c_iflag | IXOFF) : (settings.c_iflag & ~IXOFF);
    settings.c_iflag = dcb.fParity ? (settings.c_iflag | INPCK) : (settings.c_iflag & ~INPCK);
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

    // With the descriptor non-blocking, a read returns at once with what is queued and 0 only
    // when the line is gone; VMIN 1 keeps the kernel from ever reporting "nothing" as 0 bytes.
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
    return ERROR_SUCCESS;
}

}  // namespace platform

HANDLE CreateFileA(LPCSTR fileName, DWORD desiredAccess, DWORD shareMode, LPSECURITY_ATTRIBUTES,
                   DWORD creation, DWORD, HANDLE) {
    if (fileName == nullptr || creation != OPEN_EXISTING) {
        Fail(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    const bool reads = (desiredAccess & GENERIC_READ) != 0;
    const bool writes = (desiredAccess & GENERIC_WRITE) != 0;
    const int access = reads && writes ? O_RDWR : (writes ? O_WRONLY : O_RDONLY);
    // Not the controlling terminal of the host; non-blocking so that reads return at once.
    const HANDLE file = open(fileName, access | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (file == -1) {
        Fail(platform::WindowsErrorFromErrno(errno, true));
        return INVALID_HANDLE_VALUE;
    }
    if (!isatty(file)) {
        close(file);
        Fail(ERROR_INVALID_FUNCTION);
        return INVALID_HANDLE_VALUE;
    }
    if (shareMode == 0) {
        // The exclusive open. O_EXCL means nothing for a device and TIOCEXCL does not stop
        // root; a lock on the open file holds against every other open, in this process too,
        // and goes away with the last descriptor of this open.
        if (flock(file, LOCK_EX | LOCK_NB) == -1) {
            const int error = errno;
            close(file);
            Fail(error == EWOULDBLOCK ? ERROR_ACCESS_DENIED
                                      : platform::WindowsErrorFromErrno(error, true));
            return INVALID_HANDLE_VALUE;
        }
        // Also keeps out programs that do not take the lock (refused for them unless root).
        ioctl(file, TIOCEXCL);
    }
    ResetWriteTimeouts(file);
    return file;
}

BOOL SetupComm(HANDLE file, DWORD, DWORD) {
    return IsOpenDescriptor(file) ? TRUE : Fail(ERROR_INVALID_HANDLE);
}

BOOL GetCommState(HANDLE file, LPDCB dcb) {
    if (dcb == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    platform::KernelTermios2 settings{};
    if (ioctl(file, platform::kGetTermios2, &settings) == -1) return FailErrno();
    *dcb = DCB{};
    dcb->DCBlength = sizeof(DCB);
    // The kernel keeps the rate itself in the speed fields, whether set by code or explicitly.
    dcb->BaudRate = settings.c_ospeed;
    dcb->fBinary = 1;
    dcb->fParity = (settings.c_iflag & INPCK) != 0;
    const bool ctsFlow = (settings.c_cflag & CRTSCTS) != 0;
    dcb->fOutxCtsFlow = ctsFlow;
    dcb->fRtsControl = ctsFlow ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
    dcb->fDtrControl = DTR_CONTROL_ENABLE;
    dcb->fOutX = (settings.c_iflag & IXON) != 0;
    dcb->fInX = (settings.c_iflag & IXOFF) != 0;
    const auto* size =
        std::find(std::begin(kDataBits), std::end(kDataBits), settings.c_cflag & CSIZE);
    dcb->ByteSize = static_cast<BYTE>(kFewestDataBits + (size - std::begin(kDataBits)));
    const tcflag_t parity = settings.c_cflag & (PARENB | PARODD | CMSPAR);
    const auto* code = std::find(std::begin(kParity), std::end(kParity), parity);
    // Without PARENB the other two bits mean nothing: no parity.
    dcb->Parity =
        code == std::end(kParity) ? NOPARITY : static_cast<BYTE>(code - std::begin(kParity));
    dcb->StopBits = (settings.c_cflag & CSTOPB) != 0 ? TWOSTOPBITS : ONESTOPBIT;
    dcb->XonChar = static_cast<char>(settings.c_cc[VSTART]);
    dcb->XoffChar = static_cast<char>(settings.c_cc[VSTOP]);
    return TRUE;
}

BOOL SetCommState(HANDLE file, LPDCB dcb) {
    if (dcb == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    platform::KernelTermios2 settings{};
    if (ioctl(file, platform::kGetTermios2, &settings) == -1) return FailErrno();
    if (const DWORD error = platform::ApplyDcb(*dcb, settings); error != ERROR_SUCCESS) {
        return Fail(error);
    }
    // Everything in one request, so the port never runs with half the new settings.
    if (ioctl(file, platform::kSetTermios2, &settings) == -1) return FailErrno();
    return TRUE;
}

BOOL SetCommMask(HANDLE file, DWORD) {
    return IsOpenDescriptor(file) ? TRUE : Fail(ERROR_INVALID_HANDLE);
}

BOOL PurgeComm(HANDLE file, DWORD flags) {
    if ((flags & ~(PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR)) != 0) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    if (!IsOpenDescriptor(file)) return Fail(ERROR_INVALID_HANDLE);
    // Reads and writes are synchronous, so there is never anything pending to abort.
    if ((flags & PURGE_RXCLEAR) != 0 && tcflush(file, TCIFLUSH) != 0) return FailErrno();
    // Only bytes still waiting to leave are cleared. The output flush is not asked for when
    // nothing waits: on a pseudo-terminal it would also discard what the other end has received
    // and not yet read, which no transmit purge does.
    if ((flags & PURGE_TXCLEAR) != 0 && OutputQueued(file) != 0 && tcflush(file, TCOFLUSH) != 0) {
        return FailErrno();
    }
    return TRUE;
}

BOOL SetCommTimeouts(HANDLE file, LPCOMMTIMEOUTS timeouts) {
    if (timeouts == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    if (!IsOpenDescriptor(file)) return Fail(ERROR_INVALID_HANDLE);
    // Reads here always return at once with what is queued; only that setting is accepted.
    if (timeouts->ReadIntervalTimeout != MAXDWORD || timeouts->ReadTotalTimeoutMultiplier != 0 ||
        timeouts->ReadTotalTimeoutConstant != 0 ||
        static_cast<std::size_t>(file) >= kTrackedDescriptors) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    g_writeTimeouts[file].multiplier.store(timeouts->WriteTotalTimeoutMultiplier,
                                           std::memory_order_relaxed);
    g_writeTimeouts[file].constant.store(timeouts->WriteTotalTimeoutConstant,
                                         std::memory_order_relaxed);
    return TRUE;
}

BOOL ClearCommError(HANDLE file, LPDWORD errors, LPCOMSTAT status) {
    int queuedIn = 0;
    if (ioctl(file, FIONREAD, &queuedIn) == -1) return FailErrno();
    int queuedOut = 0;
    if (ioctl(file, TIOCOUTQ, &queuedOut) == -1) queuedOut = 0;
    if (errors != nullptr) *errors = 0;
    if (status != nullptr) {
        *status = COMSTAT{};
        status->cbInQue = static_cast<DWORD>(queuedIn);
        status->cbOutQue = static_cast<DWORD>(queuedOut);
    }
    return TRUE;
}

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED overlapped) {
    if (read != nullptr) *read = 0;
    if (overlapped != nullptr || (buffer == nullptr && toRead != 0)) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    if (toRead == 0) return IsOpenDescriptor(file) ? TRUE : Fail(ERROR_INVALID_HANDLE);
    for (;;) {
        const ssize_t got = ::read(file, buffer, toRead);
        if (got > 0) {
            if (read != nullptr) *read = static_cast<DWORD>(got);
            return TRUE;
        }
        // With VMIN 1 on a non-blocking descriptor, 0 bytes means the line hung up.
        if (got == 0) return Fail(ERROR_DEVICE_NOT_CONNECTED);
        if (errno == EINTR) continue;
        if (errno == EAGAIN) return TRUE;  // nothing queued: return at once with nothing
        return FailErrno();
    }
}

BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written,
               LPOVERLAPPED overlapped) {
    if (written != nullptr) *written = 0;
    if (overlapped != nullptr || (buffer == nullptr && toWrite != 0)) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    if (!IsOpenDescriptor(file)) return Fail(ERROR_INVALID_HANDLE);
    const auto* bytes = static_cast<const std::uint8_t*>(buffer);
    const long long limit = WriteDeadlineMs(file, toWrite);
    const std::uint32_t start = platform::TickCount();
    DWORD done = 0;
    while (done < toWrite) {
        const ssize_t put = ::write(file, bytes + done, toWrite - done);
        if (put > 0) {
            done += static_cast<DWORD>(put);
            if (written != nullptr) *written = done;
            continue;
        }
        if (put == -1 && errno == EINTR) continue;
        if (put == -1 && errno != EAGAIN) return FailErrno();
        // The output queue is full: wait for room for the time that is left. When it runs
        // out the write ends, successfully, with what went out.
        int wait = -1;
        if (limit >= 0) {
            const std::uint32_t spent = platform::TickCount() - start;
            if (spent >= limit) break;
            wait = static_cast<int>(limit - spent);
        }
        pollfd room{file, POLLOUT, 0};
        if (poll(&room, 1, wait) == -1 && errno != EINTR) return FailErrno();
        // A line that hung up and still takes nothing would never end the wait.
        if ((room.revents & (POLLHUP | POLLERR)) != 0 && (room.revents & POLLOUT) == 0) {
            return Fail(ERROR_DEVICE_NOT_CONNECTED);
        }
    }
    // A write is done when its bytes have left, as on Windows, not when the kernel took them:
    // wait for the output queue to drain for the time that is left. What is still queued then
    // does not count as written.
    if (limit < 0) {
        while (tcdrain(file) == -1 && errno == EINTR) {
        }
        return TRUE;
    }
    for (;;) {
        const int queued = OutputQueued(file);
        if (queued <= 0) break;
        if (platform::TickCount() - start >= limit) {
            done -= std::min(done, static_cast<DWORD>(queued));
            if (written != nullptr) *written = done;
            break;
        }
        platform::SleepMs(1);
    }
    return TRUE;
}

BOOL CloseHandle(HANDLE object) {
    if (!IsOpenDescriptor(object)) return Fail(ERROR_INVALID_HANDLE);
    ResetWriteTimeouts(object);
    // The port is free for others again once closed.
    ioctl(object, TIOCNXCL);
    // The descriptor is released even when close reports an interruption or a late I/O error;
    // the lock of the exclusive open goes with it.
    if (close(object) == -1 && errno == EBADF) return Fail(ERROR_INVALID_HANDLE);
    return TRUE;
}

DWORD GetLastError() {
    return t_lastError;
}

void SetLastError(DWORD code) {
    t_lastError = code;
}
