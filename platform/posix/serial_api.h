// The serial port calls of the Windows communications interface, with their Windows names, types
// and codes, implemented over the Linux terminal interface (serial_api.cpp). The serial code
// calls them exactly as it calls the real ones on the Windows build.
//
// What the layer offers is what a serial port opened for one request/reply exchange at a time
// needs, with the behaviour of a Windows COM port:
// - CreateFileA opens an existing terminal device exclusively (a second open fails with
//   ERROR_ACCESS_DENIED, also within one process and for root), makes it a raw 8-bit line with
//   no flow control whatever the terminal held before, and returns a handle: an entry of the
//   process's port table, not the descriptor (port_table.h). A closed or unknown handle fails
//   every call with ERROR_INVALID_HANDLE and reaches no descriptor.
// - SetCommState keeps the port raw (no line editing, echo or character translation) and
//   applies rate, data bits, parity, stop bits and flow control in one step; any rate is
//   allowed, standard or not.
// - Reads never wait: ReadFile returns at once with what is queued (the only read timeouts
//   accepted are those that ask for exactly that). A write ends after the total write timeout
//   and then reports the bytes that left; without write timeouts it is bounded by the time its
//   bytes need at the line's rate, so no write waits for ever on a line that does not drain.
// - GetLastError gives Windows error codes; errno values are converted in one place
//   (WindowsErrorFromErrno).
// Every call may be made from any thread; a handle closed while another thread is inside a call
// on it keeps its descriptor until that call returns.
#pragma once

#include <cstdint>

using CHAR = char;
using LPCSTR = const char*;
using LPVOID = void*;
using LPCVOID = const void*;
using LPDWORD = DWORD*;

inline constexpr BOOL TRUE = 1;
inline constexpr BOOL FALSE = 0;
inline constexpr DWORD MAXDWORD = 0xFFFFFFFFu;

// CreateFileA.
inline constexpr DWORD GENERIC_READ = 0x80000000u;
inline constexpr DWORD GENERIC_WRITE = 0x40000000u;
inline constexpr DWORD OPEN_EXISTING = 3;
inline constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;
struct SECURITY_ATTRIBUTES;
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;
struct OVERLAPPED;  // overlapped input/output is not offered: pass null
using LPOVERLAPPED = OVERLAPPED*;

// PurgeComm.
inline constexpr DWORD PURGE_TXABORT = 0x0001;
inline constexpr DWORD PURGE_RXABORT = 0x0002;
inline constexpr DWORD PURGE_TXCLEAR = 0x0004;
inline constexpr DWORD PURGE_RXCLEAR = 0x0008;

// SetCommMask.
inline constexpr DWORD EV_RXCHAR = 0x0001;
inline constexpr DWORD EV_BREAK = 0x0040;

// DCB codes.
inline constexpr BYTE NOPARITY = 0;
inline constexpr BYTE ODDPARITY = 1;
inline constexpr BYTE EVENPARITY = 2;
inline constexpr BYTE MARKPARITY = 3;
inline constexpr BYTE SPACEPARITY = 4;
inline constexpr BYTE ONESTOPBIT = 0;
inline constexpr BYTE ONE5STOPBITS = 1;
inline constexpr BYTE TWOSTOPBITS = 2;
inline constexpr DWORD DTR_CONTROL_DISABLE = 0;
inline constexpr DWORD DTR_CONTROL_ENABLE = 1;
inline constexpr DWORD RTS_CONTROL_DISABLE = 0;
inline constexpr DWORD RTS_CONTROL_ENABLE = 1;
inline constexpr DWORD RTS_CONTROL_HANDSHAKE = 2;

// The Windows error codes that the layer reports.
inline constexpr DWORD ERROR_SUCCESS = 0;
inline constexpr DWORD ERROR_INVALID_FUNCTION = 1;
inline constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
inline constexpr DWORD ERROR_TOO_MANY_OPEN_FILES = 4;
inline constexpr DWORD ERROR_ACCESS_DENIED = 5;
inline constexpr DWORD ERROR_INVALID_HANDLE = 6;
inline constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr DWORD ERROR_GEN_FAILURE = 31;
inline constexpr DWORD ERROR_INVALID_PARAMETER = 87;
inline constexpr DWORD ERROR_DEVICE_NOT_CONNECTED = 1167;

// The port's device control block, laid out as on Windows.
struct DCB {
    DWORD DCBlength;
    DWORD BaudRate;
    DWORD fBinary : 1;
    DWORD fParity : 1;
    DWORD fOutxCtsFlow : 1;
    DWORD fOutxDsrFlow : 1;
    DWORD fDtrControl : 2;
    DWORD fDsrSensitivity : 1;
    DWORD fTXContinueOnXoff : 1;
    DWORD fOutX : 1;
    DWORD fInX : 1;
    DWORD fErrorChar : 1;
    DWORD fNull : 1;
    DWORD fRtsControl : 2;
    DWORD fAbortOnError : 1;
    DWORD fDummy2 : 17;
    WORD wReserved;
    WORD XonLim;
    WORD XoffLim;
    BYTE ByteSize;
    BYTE Parity;
    BYTE StopBits;
    char XonChar;
    char XoffChar;
    char ErrorChar;
    char EofChar;
    char EvtChar;
    WORD wReserved1;
};
using LPDCB = DCB*;

struct COMMTIMEOUTS {
    DWORD ReadIntervalTimeout;
    DWORD ReadTotalTimeoutMultiplier;
    DWORD ReadTotalTimeoutConstant;
    DWORD WriteTotalTimeoutMultiplier;
    DWORD WriteTotalTimeoutConstant;
};
using LPCOMMTIMEOUTS = COMMTIMEOUTS*;

struct COMSTAT {
    DWORD fCtsHold : 1;
    DWORD fDsrHold : 1;
    DWORD fRlsdHold : 1;
    DWORD fXoffHold : 1;
    DWORD fXoffSent : 1;
    DWORD fEof : 1;
    DWORD fTxim : 1;
    DWORD fReserved : 25;
    DWORD cbInQue;
    DWORD cbOutQue;
};
using LPCOMSTAT = COMSTAT*;

// Opens the terminal device `fileName` (for instance "/dev/ttyUSB0"). Share mode 0 asks for the
// exclusive open; OPEN_EXISTING is the only creation mode offered. INVALID_HANDLE_VALUE on
// failure, with the reason in GetLastError.
HANDLE CreateFileA(LPCSTR fileName, DWORD desiredAccess, DWORD shareMode,
                   LPSECURITY_ATTRIBUTES security, DWORD creation, DWORD flags,
                   HANDLE templateFile);

// The queue sizes are the kernel's own on Linux: only the handle is checked.
BOOL SetupComm(HANDLE file, DWORD inQueue, DWORD outQueue);
BOOL GetCommState(HANDLE file, LPDCB dcb);
BOOL SetCommState(HANDLE file, LPDCB dcb);
// Events are not waited for through this layer: only the handle is checked.
BOOL SetCommMask(HANDLE file, DWORD eventMask);
BOOL PurgeComm(HANDLE file, DWORD flags);
BOOL SetCommTimeouts(HANDLE file, LPCOMMTIMEOUTS timeouts);
// Line errors are not collected: *errors is 0. The status gives the queued byte counts.
BOOL ClearCommError(HANDLE file, LPDWORD errors, LPCOMSTAT status);
BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED overlapped);
BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written,
               LPOVERLAPPED overlapped);
BOOL CloseHandle(HANDLE object);

// The calling thread's last error code.
DWORD GetLastError();
void SetLastError(DWORD code);

namespace platform {

// The Windows error code for an errno value of the terminal calls:
//   EBADF                 -> ERROR_INVALID_HANDLE (6)
//   ENOENT, ENODEV, ENXIO at open -> ERROR_FILE_NOT_FOUND (2), as for a COM port that does
//                            not exist
//   EACCES, EPERM, EBUSY, EWOULDBLOCK (the port held by someone else)
//                         -> ERROR_ACCESS_DENIED (5), as for a COM port in use
//   EIO, ENXIO (the device vanished, as when a USB adapter is unplugged or the other end of a
//   pseudo-terminal closes) -> ERROR_DEVICE_NOT_CONNECTED (1167); Windows drivers report a
//                            removed adapter in several ways, this is the system's own code
//                            for it
//   ENOTTY                -> ERROR_INVALID_FUNCTION (1): the handle is not a port
//   EINVAL                -> ERROR_INVALID_PARAMETER (87)
//   EMFILE, ENFILE        -> ERROR_TOO_MANY_OPEN_FILES (4)
//   ENOMEM                -> ERROR_NOT_ENOUGH_MEMORY (8)
//   anything else         -> ERROR_GEN_FAILURE (31)
// `atOpen` selects the open's reading of ENXIO (no such device) over the vanished device's.
DWORD WindowsErrorFromErrno(int error, bool atOpen = false);

}  // namespace platform
