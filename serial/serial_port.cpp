#include "serial/serial_port.h"

#include <algorithm>

#include "platform/serial_calls.h"

namespace serial {
namespace {

constexpr DWORD kInputQueueSize = 1024;
constexpr DWORD kOutputQueueSize = 512;
constexpr DWORD kEventMask = EV_RXCHAR | EV_BREAK;
constexpr std::int32_t kDefaultReplyTimeoutMs = 1000;
constexpr std::int32_t kShortestReplyTimeoutMs = 10;
// A write of n bytes is given 10 ms per byte; reads return at once with what is queued.
constexpr DWORD kWriteMsPerByte = 10;

}  // namespace

std::int32_t ReplyTimeoutFrom(const PortSettings& settings) {
    return settings.replyTimeout >= kShortestReplyTimeoutMs ? settings.replyTimeout
                                                            : kDefaultReplyTimeoutMs;
}

OpenFailure OpenPort(const PortSettings& settings, HANDLE& port, std::int32_t& baudFactor) {
    // portName is a 32-byte field that the host should NUL-terminate; never read past it.
    char name[sizeof settings.portName + 1] = {};
    std::copy_n(settings.portName, sizeof settings.portName, name);

    // Read and write, shared with no one, no template.
    const HANDLE opened = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, HANDLE{});
    if (opened == INVALID_HANDLE_VALUE) return OpenFailure::kOpen;
    SetupComm(opened, kInputQueueSize, kOutputQueueSize);

    if (settings.baudRate < kLowestBaudRate || settings.baudRate > kHighestBaudRate) {
        CloseHandle(opened);
        return OpenFailure::kBaudRange;
    }
    baudFactor = kHighestBaudRate / settings.baudRate;

    // Only the character frame changes; flow control and the other settings stay as the port
    // had them.
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    GetCommState(opened, &dcb);
    dcb.BaudRate = static_cast<DWORD>(settings.baudRate);
    dcb.ByteSize = settings.dataBits;
    dcb.Parity = settings.parity;
    dcb.StopBits = settings.stopBits == 2 ? TWOSTOPBITS : ONESTOPBIT;
    dcb.EvtChar = 0;
    if (!SetCommState(opened, &dcb)) {
        CloseHandle(opened);
        return OpenFailure::kOpen;
    }

    SetCommMask(opened, kEventMask);
    PurgeComm(opened, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
    // Reads return at once with whatever is queued: the receiver polls rather than waits.
    COMMTIMEOUTS timeouts{MAXDWORD, 0, 0, kWriteMsPerByte, 0};
    SetCommTimeouts(opened, &timeouts);

    port = opened;
    return OpenFailure::kNone;
}

bool ClosePort(HANDLE& port) {
    if (port == INVALID_HANDLE_VALUE) return true;
    if (!CloseHandle(port)) return false;
    port = INVALID_HANDLE_VALUE;
    return true;
}

SendResult SendFrame(HANDLE port, std::span<const std::uint8_t> frame) {
    if (frame.empty()) return {-1, std::nullopt};
    // A late reply to an earlier frame, or noise, must not be taken for the answer to this one.
    PurgeComm(port, PURGE_TXCLEAR | PURGE_RXCLEAR);
    DWORD written = 0;
    if (!WriteFile(port, frame.data(), static_cast<DWORD>(frame.size()), &written, nullptr)) {
        return {-1, GetLastError()};
    }
    // What the write timeout left unsent is dropped rather than sent late.
    PurgeComm(port, PURGE_TXCLEAR);
    return {static_cast<std::int32_t>(written), std::nullopt};
}

bool ReceiveFrame(HANDLE port, std::int32_t timeoutMs, ReplyEndRule isComplete,
                  std::span<std::uint8_t> buffer, std::uint32_t& length) {
    const std::uint32_t start = platform::TickCount();
    const auto span = static_cast<std::uint32_t>(timeoutMs);
    std::size_t count = 0;
    // The unsigned difference stays right when the 32-bit tick count wraps during the wait.
    while (static_cast<std::uint32_t>(platform::TickCount() - start) <= span) {
        COMSTAT status{};
        DWORD lineErrors = 0;
        // Line errors are cleared by the query and otherwise ignored: the reply's own checks
        // catch a damaged frame.
        const DWORD queued = ClearCommError(port, &lineErrors, &status) ? status.cbInQue : 0;
        if (queued > 0) {
            const DWORD room = static_cast<DWORD>(buffer.size() - count);
            DWORD got = 0;
            if (ReadFile(port, buffer.data() + count, std::min(queued, room), &got, nullptr) &&
                got > 0) {
                count += got;
                // Judged on the whole reply, not byte by byte: a poll may deliver the end
                // together with bytes before it.
                if (isComplete(buffer.first(count))) {
                    // Whatever follows the reply belongs to no exchange.
                    PurgeComm(port, PURGE_RXCLEAR);
                    length = static_cast<std::uint32_t>(count);
                    return true;
                }
                // A full buffer without a reply end is no reply: give up as on a timeout.
                if (count == buffer.size()) return false;
            }
        }
        platform::SleepMs(kPollIntervalMs);
    }
    return false;
}

}  // namespace serial
