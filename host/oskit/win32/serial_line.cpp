// Serial lines on Windows: COM ports through the communications functions. Reads return at once
// with what is queued, and a wait polls the ports' receive queues about once a millisecond while
// it watches the stop event. Windows has no pseudo-terminals: the programs that need one say so.
#include <windows.h>

#include <mmsystem.h>

#include <atomic>
#include <cstdio>

#include "host/oskit/serial_line.h"

namespace host {

struct StopSignal::Native {
    HANDLE event = nullptr;  // manual reset: set once, every wait after it ends at once
    std::atomic<bool> raised{false};
};

struct SerialLine::Native {
    HANDLE handle = INVALID_HANDLE_VALUE;
};

struct PseudoTerminal::Native {
    std::unique_ptr<SerialLine> line;
    std::string path;
};

namespace {

constexpr DWORD kWriteStallMs = 1000;  // a write that moves nothing for this long counts a stall
constexpr int kStallsBeforeGivingUp = 3;

std::string SystemMessage(DWORD code) {
    char text[256] = {};
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, code, 0, text, sizeof text, nullptr);
    std::string message(text, n);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                                message.back() == ' ' || message.back() == '.')) {
        message.pop_back();
    }
    if (message.empty()) message = "system error " + std::to_string(code);
    return message;
}

// The millisecond timer resolution for the program's waits and pacing; the default tick of
// about 16 ms would stretch every byte of a paced reply.
void UseFineTimer() {
    static const bool once = [] {
        timeBeginPeriod(1);
        return true;
    }();
    (void)once;
}

std::atomic<StopSignal*> gSignalled{nullptr};

BOOL WINAPI OnConsoleEvent(DWORD event) {
    StopSignal* stop = gSignalled.load();
    if (stop == nullptr) return FALSE;
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
            stop->Raise();
            return TRUE;
        case CTRL_CLOSE_EVENT:
            // The system ends the process when this returns: give the program a moment to stop
            // and print what it has to say first.
            stop->Raise();
            Sleep(2000);
            return TRUE;
        default:
            return FALSE;
    }
}

// Ctrl-C alone, for RaiseOnInterrupt; Ctrl-Break and closing the console end the program.
BOOL WINAPI OnInterruptEvent(DWORD event) {
    StopSignal* stop = gSignalled.load();
    if (stop == nullptr || event != CTRL_C_EVENT) return FALSE;
    stop->Raise();
    return TRUE;
}

BYTE ParityCode(Parity parity) {
    switch (parity) {
        case Parity::kNone:
            return NOPARITY;
        case Parity::kOdd:
            return ODDPARITY;
        case Parity::kEven:
            return EVENPARITY;
        case Parity::kMark:
            return MARKPARITY;
        case Parity::kSpace:
            return SPACEPARITY;
    }
    return NOPARITY;
}

}  // namespace

// The port's driver decides which rates it takes; SetCommState reports one it refuses.
bool IsSupportedBaud(int baud) {
    return baud > 0;
}

// ---- Stop signal ---------------------------------------------------------------------------

StopSignal::StopSignal() : native_(std::make_unique<Native>()) {
    native_->event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
}

StopSignal::~StopSignal() {
    StopSignal* self = this;
    gSignalled.compare_exchange_strong(self, nullptr);
    if (native_->event != nullptr) CloseHandle(native_->event);
}

bool StopSignal::ok() const {
    return native_->event != nullptr;
}

void StopSignal::Raise() {
    native_->raised.store(true);
    if (native_->event != nullptr) SetEvent(native_->event);
}

bool StopSignal::Raised() const {
    return native_->raised.load();
}

bool RaiseOnTerminationSignals(StopSignal& stop) {
    if (!stop.ok()) return false;
    gSignalled.store(&stop);
    return SetConsoleCtrlHandler(OnConsoleEvent, TRUE) != 0;
}

bool RaiseOnInterrupt(StopSignal& stop) {
    if (!stop.ok()) return false;
    gSignalled.store(&stop);
    return SetConsoleCtrlHandler(OnInterruptEvent, TRUE) != 0;
}

// ---- Lines ---------------------------------------------------------------------------------

SerialLine::SerialLine(std::unique_ptr<Native> native) : native_(std::move(native)) {}

SerialLine::~SerialLine() {
    if (native_->handle != INVALID_HANDLE_VALUE) CloseHandle(native_->handle);
}

long SerialLine::Read(std::span<std::uint8_t> buffer, std::string& error) {
    DWORD got = 0;
    if (!ReadFile(native_->handle, buffer.data(), static_cast<DWORD>(buffer.size()), &got,
                  nullptr)) {
        error = SystemMessage(GetLastError());
        return -1;
    }
    return static_cast<long>(got);
}

bool SerialLine::WriteAll(std::span<const std::uint8_t> bytes) {
    const std::uint8_t* next = bytes.data();
    std::size_t size = bytes.size();
    int stalls = 0;  // a peer that takes nothing for this long is not coming back
    while (size > 0) {
        DWORD written = 0;
        if (!WriteFile(native_->handle, next, static_cast<DWORD>(size), &written, nullptr)) {
            return false;
        }
        if (written == 0) {
            if (++stalls >= kStallsBeforeGivingUp) return false;
            continue;
        }
        stalls = 0;
        next += written;
        size -= written;
    }
    return true;
}

std::unique_ptr<SerialLine> OpenSerialLine(const std::string& path, const LineSettings& settings,
                                           std::string& error) {
    // The device namespace reaches every port, COM10 and up included.
    const std::string device = path.rfind("\\\\.\\", 0) == 0 ? path : "\\\\.\\" + path;
    const HANDLE handle = CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                      OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        error = "cannot open " + path + ": " + SystemMessage(GetLastError());
        return nullptr;
    }
    auto native = std::make_unique<SerialLine::Native>();
    native->handle = handle;  // closed by the line from here on
    auto line = std::make_unique<SerialLine>(std::move(native));

    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(handle, &dcb)) {
        error = "not a serial port: " + path + ": " + SystemMessage(GetLastError());
        return nullptr;
    }
    // Raw bytes both ways: no flow control, no character replacement, no stop on errors.
    dcb.BaudRate = static_cast<DWORD>(settings.baud);
    dcb.ByteSize = static_cast<BYTE>(settings.dataBits);
    dcb.Parity = ParityCode(settings.parity);
    dcb.StopBits = settings.stopBits == 2 ? TWOSTOPBITS : ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fParity = settings.parity == Parity::kNone ? FALSE : TRUE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fAbortOnError = FALSE;
    if (!SetCommState(handle, &dcb)) {
        error = "cannot configure " + path + " for " + std::to_string(settings.baud) + " baud, " +
                std::to_string(settings.dataBits) + " data bits, " +
                std::string(ParityName(settings.parity)) + " parity, " +
                std::to_string(settings.stopBits) + " stop bits: " + SystemMessage(GetLastError());
        return nullptr;
    }
    // Reads return at once with whatever is queued; the waits poll the queue.
    COMMTIMEOUTS timeouts{MAXDWORD, 0, 0, 0, kWriteStallMs};
    if (!SetCommTimeouts(handle, &timeouts)) {
        error = "cannot set the timeouts of " + path + ": " + SystemMessage(GetLastError());
        return nullptr;
    }
    PurgeComm(handle, PURGE_RXCLEAR | PURGE_TXCLEAR);
    return line;
}

// ---- Pseudo-terminals ----------------------------------------------------------------------

PseudoTerminal::PseudoTerminal(std::unique_ptr<Native> native) : native_(std::move(native)) {}
PseudoTerminal::~PseudoTerminal() = default;
SerialLine& PseudoTerminal::line() {
    return *native_->line;
}
const std::string& PseudoTerminal::path() const {
    return native_->path;
}

bool PseudoTerminal::MakeLink(const std::string&, std::string& error) {
    error = "links to a pseudo-terminal need Linux";
    return false;
}

bool PseudoTerminal::SettingsNow(LineSettings&) const {
    return false;
}

std::unique_ptr<PseudoTerminal> OpenPseudoTerminal(std::string& error, PtySettings) {
    error =
        "a new pseudo-terminal (the default, --link and --forward) needs Linux; on Windows serve "
        "a real port with --device COM3";
    return nullptr;
}

// ---- Waiting -------------------------------------------------------------------------------

WaitResult WaitForInput(std::span<SerialLine* const> lines, const StopSignal& stop, int timeoutMs) {
    constexpr std::size_t kMaxLines = 16;
    WaitResult result;
    if (lines.size() > kMaxLines) {
        result.end = WaitEnd::kFailed;
        return result;
    }
    UseFineTimer();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (stop.Raised()) {
            result.end = WaitEnd::kStopped;
            return result;
        }
        for (std::size_t i = 0; i < lines.size(); ++i) {
            DWORD errors = 0;
            COMSTAT status{};
            // A port that cannot report its queue has failed; its Read says how.
            if (!ClearCommError(lines[i]->native().handle, &errors, &status) ||
                status.cbInQue > 0) {
                result.ready |= 1u << i;
            }
        }
        if (result.ready != 0) {
            result.end = WaitEnd::kInput;
            return result;
        }
        DWORD wait = INFINITE;
        if (timeoutMs >= 0) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                result.end = WaitEnd::kTimeout;
                return result;
            }
            wait = static_cast<DWORD>(left.count());
        }
        if (!lines.empty() && wait > 1) wait = 1;
        const DWORD woke = WaitForSingleObject(stop.native().event, wait);
        if (woke == WAIT_FAILED) {
            result.end = WaitEnd::kFailed;
            return result;
        }
    }
}

void SleepUntil(std::chrono::steady_clock::time_point when) {
    UseFineTimer();
    for (;;) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= when) return;
        // Whole milliseconds asleep, the rest of the last one given up a time slice at a time.
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(when - now).count();
        Sleep(left >= 1 ? static_cast<DWORD>(left) : 0);
    }
}

}  // namespace host
