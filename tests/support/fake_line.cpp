// The fake line and clock declared in fake_line.h, standing in for platform/posix/serial_api.cpp
// and platform/posix/clock.cpp at link time. Only what a receive needs does anything; the calls
// that open and configure a port refuse.
#include "tests/support/fake_line.h"

#include <algorithm>
#include <cstring>

#include "platform/serial_calls.h"

namespace fake_line {
namespace {

std::uint32_t g_tickStart = 0;
std::uint32_t g_elapsed = 0;
std::uint32_t g_offset = 0;
std::vector<Arrival> g_arrivals;
std::size_t g_next = 0;             // first arrival not yet queued
std::vector<std::uint8_t> g_queue;  // arrived, not yet read
std::vector<std::uint8_t> g_read;
DWORD g_lastError = 0;

// Moves every arrival that is due into the input queue.
void Deliver() {
    while (g_next < g_arrivals.size() && g_arrivals[g_next].atMs <= g_elapsed) {
        const auto& bytes = g_arrivals[g_next].bytes;
        g_queue.insert(g_queue.end(), bytes.begin(), bytes.end());
        ++g_next;
    }
}

}  // namespace

void Reset(std::uint32_t tickStart, std::vector<Arrival> arrivals) {
    g_tickStart = tickStart;
    g_elapsed = 0;
    g_arrivals = std::move(arrivals);
    g_next = 0;
    g_queue.clear();
    g_read.clear();
}

std::uint32_t ElapsedMs() {
    return g_elapsed;
}

const std::vector<std::uint8_t>& BytesRead() {
    return g_read;
}

}  // namespace fake_line

namespace platform {

std::uint32_t TickCount() {
    return fake_line::g_tickStart + fake_line::g_elapsed + fake_line::g_offset;
}
void SetTickCountOffset(std::uint32_t offset) {
    fake_line::g_offset = offset;
}
void SleepMs(std::uint32_t milliseconds) {
    fake_line::g_elapsed += milliseconds;
}
FILETIME FileTimeNow() {
    return FILETIME{0, 0};
}
DWORD WindowsErrorFromErrno(int, bool) {
    return ERROR_GEN_FAILURE;
}

}  // namespace platform

using fake_line::kPort;

HANDLE CreateFileA(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE) {
    fake_line::g_lastError = ERROR_FILE_NOT_FOUND;
    return INVALID_HANDLE_VALUE;
}
BOOL SetupComm(HANDLE file, DWORD, DWORD) {
    return file == kPort;
}
BOOL GetCommState(HANDLE file, LPDCB) {
    return file == kPort;
}
BOOL SetCommState(HANDLE file, LPDCB) {
    return file == kPort;
}
BOOL SetCommMask(HANDLE file, DWORD) {
    return file == kPort;
}
BOOL SetCommTimeouts(HANDLE file, LPCOMMTIMEOUTS) {
    return file == kPort;
}

BOOL PurgeComm(HANDLE file, DWORD flags) {
    if (file != kPort) return FALSE;
    if ((flags & PURGE_RXCLEAR) != 0) {
        fake_line::Deliver();
        fake_line::g_queue.clear();
    }
    return TRUE;
}

BOOL ClearCommError(HANDLE file, LPDWORD errors, LPCOMSTAT status) {
    if (file != kPort) return FALSE;
    fake_line::Deliver();
    if (errors != nullptr) *errors = 0;
    if (status != nullptr) {
        *status = COMSTAT{};
        status->cbInQue = static_cast<DWORD>(fake_line::g_queue.size());
    }
    return TRUE;
}

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED) {
    if (file != kPort) return FALSE;
    fake_line::Deliver();
    auto& queue = fake_line::g_queue;
    const std::size_t n = std::min<std::size_t>(toRead, queue.size());
    std::memcpy(buffer, queue.data(), n);
    fake_line::g_read.insert(fake_line::g_read.end(), queue.begin(), queue.begin() + n);
    queue.erase(queue.begin(), queue.begin() + n);
    *read = static_cast<DWORD>(n);
    return TRUE;
}

BOOL WriteFile(HANDLE file, LPCVOID, DWORD toWrite, LPDWORD written, LPOVERLAPPED) {
    if (file != kPort) return FALSE;
    *written = toWrite;
    return TRUE;
}

BOOL CloseHandle(HANDLE object) {
    return object == kPort;
}
DWORD GetLastError() {
    return fake_line::g_lastError;
}
void SetLastError(DWORD code) {
    fake_line::g_lastError = code;
}
