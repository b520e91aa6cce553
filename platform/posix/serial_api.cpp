// The Windows serial port calls over the Linux terminal interface (see serial_api.h). Handles are
// entries of the port table (port_table.h), never descriptor numbers.
#include <algorithm>
#include <cerrno>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <unistd.h>

#include "platform/platform.h"
#include "platform/posix/kernel_termios.h"
#include "platform/posix/port_table.h"

namespace {

using platform::PortRef;

BOOL Fail(DWORD code) {
    SetLastError(code);
    return FALSE;
}

BOOL FailErrno() {
    return Fail(platform::WindowsErrorFromErrno(errno));
}

// Bytes written but not yet sent; -1 when the port cannot tell.
int OutputQueued(int descriptor) {
    int queued = 0;
    return ioctl(descriptor, TIOCOUTQ, &queued) == -1 ? -1 : queued;
}

// How long a write of `bytes` may take. Without write timeouts a Windows write waits until it
// is done; here it waits as long as the bytes need at the line's rate twice over, and a second
// more, so that a line held by flow control, or a peer that never reads, cannot keep the caller
// for ever.
std::uint64_t WriteLimitMs(const platform::PortEntry& port, DWORD bytes) {
    if (const std::uint64_t limit = port.WriteTimeoutMs(bytes); limit != 0) return limit;
    constexpr std::uint64_t kBitsPerByte = 12;  // start, 8 data, parity, 2 stop bits at most
    constexpr std::uint64_t kGraceMs = 1000;
    platform::KernelTermios2 settings{};
    std::uint64_t rate = 300;
    if (ioctl(port.descriptor(), platform::kGetTermios2, &settings) == 0 && settings.c_ospeed > 0) {
        rate = std::max<std::uint64_t>(settings.c_ospeed, 50);
    }
    return 2 * (bytes * kBitsPerByte * 1000 / rate) + kGraceMs;
}

}  // namespace

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
    const int descriptor = open(fileName, access | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (descriptor == -1) {
        Fail(platform::WindowsErrorFromErrno(errno, true));
        return INVALID_HANDLE_VALUE;
    }
    const auto refuse = [descriptor](DWORD code) {
        close(descriptor);
        Fail(code);
        return INVALID_HANDLE_VALUE;
    };
    if (!isatty(descriptor)) return refuse(ERROR_INVALID_FUNCTION);
    if (shareMode == 0) {
        // The exclusive open. O_EXCL means nothing for a device and TIOCEXCL does not stop
        // root; a lock on the open file holds against every other open, in this process too,
        // and goes away with the last descriptor of this open.
        if (flock(descriptor, LOCK_EX | LOCK_NB) == -1) {
            const int error = errno;
            return refuse(error == EWOULDBLOCK ? ERROR_ACCESS_DENIED
                                               : platform::WindowsErrorFromErrno(error, true));
        }
        // Also keeps out programs that do not take the lock (refused for them unless root).
        ioctl(descriptor, TIOCEXCL);
    }
    // A port opens raw, whatever its last user or the kernel left on the terminal: what
    // GetCommState then reports is what a freshly opened Windows port reports.
    platform::KernelTermios2 settings{};
    if (ioctl(descriptor, platform::kGetTermios2, &settings) == -1) {
        return refuse(platform::WindowsErrorFromErrno(errno, true));
    }
    platform::MakeRawLine(settings);
    if (ioctl(descriptor, platform::kSetTermios2, &settings) == -1) {
        return refuse(platform::WindowsErrorFromErrno(errno, true));
    }
    const HANDLE handle = platform::AddPort(descriptor);  // the table owns the descriptor now
    if (handle == INVALID_HANDLE_VALUE) Fail(ERROR_TOO_MANY_OPEN_FILES);
    return handle;
}

BOOL SetupComm(HANDLE file, DWORD, DWORD) {
    return platform::FindPort(file) != nullptr ? TRUE : Fail(ERROR_INVALID_HANDLE);
}

BOOL GetCommState(HANDLE file, LPDCB dcb) {
    if (dcb == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    const PortRef port = platform::FindPort(file);
    if (port == nullptr) return Fail(ERROR_INVALID_HANDLE);
    platform::KernelTermios2 settings{};
    if (ioctl(port->descriptor(), platform::kGetTermios2, &settings) == -1) return FailErrno();
    platform::DcbFromSettings(settings, *dcb);
    return TRUE;
}

BOOL SetCommState(HANDLE file, LPDCB dcb) {
    if (dcb == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    const PortRef port = platform::FindPort(file);
    if (port == nullptr) return Fail(ERROR_INVALID_HANDLE);
    platform::KernelTermios2 settings{};
    if (ioctl(port->descriptor(), platform::kGetTermios2, &settings) == -1) return FailErrno();
    if (const DWORD error = platform::ApplyDcb(*dcb, settings); error != ERROR_SUCCESS) {
        return Fail(error);
    }
    // Everything in one request, so the port never runs with half the new settings.
    if (ioctl(port->descriptor(), platform::kSetTermios2, &settings) == -1) return FailErrno();
    return TRUE;
}

BOOL SetCommMask(HANDLE file, DWORD) {
    return platform::FindPort(file) != nullptr ? TRUE : Fail(ERROR_INVALID_HANDLE);
}

BOOL PurgeComm(HANDLE file, DWORD flags) {
    if ((flags & ~(PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR)) != 0) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    const PortRef port = platform::FindPort(file);
    if (port == nullptr) return Fail(ERROR_INVALID_HANDLE);
    const int descriptor = port->descriptor();
    // Reads and writes are synchronous, so there is never anything pending to abort.
    if ((flags & PURGE_RXCLEAR) != 0 && tcflush(descriptor, TCIFLUSH) != 0) return FailErrno();
    // Only bytes still waiting to leave are cleared. The output flush is not asked for when
    // nothing waits: on a pseudo-terminal it would also discard what the other end has received
    // and not yet read, which no transmit purge does.
    if ((flags & PURGE_TXCLEAR) != 0 && OutputQueued(descriptor) != 0 &&
        tcflush(descriptor, TCOFLUSH) != 0) {
        return FailErrno();
    }
    return TRUE;
}

BOOL SetCommTimeouts(HANDLE file, LPCOMMTIMEOUTS timeouts) {
    if (timeouts == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    const PortRef port = platform::FindPort(file);
    if (port == nullptr) return Fail(ERROR_INVALID_HANDLE);
    // Reads here always return at once with what is queued; only that setting is accepted.
    if (timeouts->ReadIntervalTimeout != MAXDWORD || timeouts->ReadTotalTimeoutMultiplier != 0 ||
        timeouts->ReadTotalTimeoutConstant != 0) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    port->SetWriteTimeouts(timeouts->WriteTotalTimeoutMultiplier,
                           timeouts->WriteTotalTimeoutConstant);
    return TRUE;
}

BOOL ClearCommError(HANDLE file, LPDWORD errors, LPCOMSTAT status) {
    const PortRef port = platform::FindPort(file);
    if (port == nullptr) return Fail(ERROR_INVALID_HANDLE);
    int queuedIn = 0;
    if (ioctl(port->descriptor(), FIONREAD, &queuedIn) == -1) return FailErrno();
    const int queuedOut = std::max(OutputQueued(port->descriptor()), 0);
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
    const PortRef port = platform::FindPort(file);
    if (port == nullptr) return Fail(ERROR_INVALID_HANDLE);
    if (toRead == 0) return TRUE;
    for (;;) {
        const ssize_t got = ::read(port->descriptor(), buffer, toRead);
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
    const PortRef port = platform::FindPort(file);
    if (port == nullptr) return Fail(ERROR_INVALID_HANDLE);
    const int descriptor = port->descriptor();
    const auto* bytes = static_cast<const std::uint8_t*>(buffer);
    const std::uint64_t limit = WriteLimitMs(*port, toWrite);
    const std::uint32_t start = platform::TickCount();
    const auto left = [&]() -> std::uint64_t {
        const std::uint32_t spent = platform::TickCount() - start;
        return spent >= limit ? 0 : limit - spent;
    };
    DWORD done = 0;
    while (done < toWrite) {
        const ssize_t put = ::write(descriptor, bytes + done, toWrite - done);
        if (put > 0) {
            done += static_cast<DWORD>(put);
            if (written != nullptr) *written = done;
            continue;
        }
        if (put == -1 && errno == EINTR) continue;
        if (put == -1 && errno != EAGAIN) return FailErrno();
        // The output queue is full: wait for room for the time that is left. When it runs
        // out the write ends, successfully, with what went out.
        const std::uint64_t wait = left();
        if (wait == 0) break;
        pollfd room{descriptor, POLLOUT, 0};
        if (poll(&room, 1, static_cast<int>(std::min<std::uint64_t>(wait, 60000))) == -1 &&
            errno != EINTR) {
            return FailErrno();
        }
        // A line that hung up and still takes nothing would never end the wait.
        if ((room.revents & (POLLHUP | POLLERR)) != 0 && (room.revents & POLLOUT) == 0) {
            return Fail(ERROR_DEVICE_NOT_CONNECTED);
        }
    }
    // A write is done when its bytes have left, as on Windows, not when the kernel took them:
    // wait for the output queue to drain for the time that is left. What is still queued then
    // does not count as written. Never tcdrain, which waits as long as the line holds.
    for (;;) {
        const int queued = OutputQueued(descriptor);
        if (queued <= 0) break;
        if (left() == 0) {
            done -= std::min(done, static_cast<DWORD>(queued));
            if (written != nullptr) *written = done;
            break;
        }
        platform::SleepMs(1);
    }
    return TRUE;
}

BOOL CloseHandle(HANDLE object) {
    // The descriptor closes once no call on another thread still uses it.
    return platform::RemovePort(object) ? TRUE : Fail(ERROR_INVALID_HANDLE);
}
